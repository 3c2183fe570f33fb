#include "ftp/control_socket.h"

void CVeskControlSocket::OnRnfr(const std::string&) { SendResponse("502 Not Supported Command"); }
void CVeskControlSocket::OnRnto(const std::string&) { SendResponse("502 Not Supported Command"); }
void CVeskControlSocket::OnDele(const std::string&) { SendResponse("502 Not Supported Command"); }
void CVeskControlSocket::OnMkd(const std::string&) { SendResponse("502 Not Supported Command"); }
void CVeskControlSocket::OnRmd(const std::string&) { SendResponse("502 Not Supported Command"); }
bool CreateDirectoryChain(const std::string&) { return false; }
