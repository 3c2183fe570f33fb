// The program's icon (IDR_MAINFRAME) from the built-in resources.
#pragma once

#include <QIcon>

// A null icon if the resources are missing.
QIcon LoadAppIcon();
