#include "server/ftp_server.h"

CVeskFTPServer theServer;
