// The settings in force now live with the session that reads them.
#pragma once

#include "ftp/server_settings.h"
