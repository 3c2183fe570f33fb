#include "ftp/control_socket.h"

bool CVeskControlSocket::BuildDirectoryListing(std::string, std::string& listing)
{
    listing.clear();
    return true;
}
