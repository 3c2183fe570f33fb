// Every reply the session sends, by name, grouped by code.
//
// The wording is kept exactly as it is, odd spellings included: the three
// forms of the 421 and of the 426, "Transfer complete" next to "Transfer
// Completed", "thre file", the missing space in "Passive Mode(". Scanners
// and their users have seen these bytes for years and the tests compare them
// byte for byte; never tidy a text here. A reply that needs a variable part
// is a small function around its fixed text.
#pragma once

#include <string>

namespace reply {

// 1xx: the data connection opens.
inline constexpr char kListingOpens[] = "150 Opening ASCII mode data connection for directory list.";
inline constexpr char kUploadOpens[] = "150 Opening BINARY mode data connection for file transfer.";

// 2xx
inline constexpr char kOk[] = "200 OK";
inline constexpr char kPbszSet[] = "200 PBSZ=0";
inline std::string ProtectionSet(char level) { return std::string("200 Protection level set to ") + level + "."; }
inline constexpr char kPortAccepted[] = "200 Port command successful.";
inline std::string TypeSet(const std::string& type) { return "200 Type set to " + type; }
inline constexpr char kSystem[] = "215 UNIX emulated by Orvello";
inline std::string Welcome(const std::string& message) { return "220 " + message; }
inline std::string Goodbye(const std::string& message) { return "221 " + message; }
inline constexpr char kFeaturesStart[] = "211-Features:";
inline constexpr char kFeaturesEnd[] = "211 End";
inline constexpr char kAborDone[] = "226 ABOR command successful.";
inline constexpr char kUploadComplete[] = "226 Transfer complete";
inline constexpr char kListingSent[] = "226 Transfer Completed";
inline constexpr char kEmptyListingSent[] = "226 Transfer completed";
// address: dotted IPv4 with its dots already turned into commas.
inline std::string PassiveMode(const std::string& address, int port)
{
    return "227 Entering Passive Mode(" + address + "," + std::to_string(port / 256) + "," +
           std::to_string(port % 256) + ").";
}
inline std::string ExtendedPassiveMode(int port)
{
    return "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)";
}
inline constexpr char kLoggedIn[] = "230 User successfully logged in.";
inline constexpr char kTlsProceed[] = "234 Proceed with TLS negotiation.";
inline constexpr char kFileRenamed[] = "250 File renamed successfully.";
inline constexpr char kDirectoryDeleted[] = "250 Directory deleted successfully.";
inline std::string FileDeleted(const std::string& name)
{
    return "250 File \"" + name + "\" was deleted successfully.";
}
inline std::string DirectoryChanged(const std::string& folder)
{
    return "250 \"" + folder + "\" is current directory.";
}
inline constexpr char kDirectoryCreated[] = "257 Directory created successfully.";
inline std::string CurrentDirectory(const std::string& folder)
{
    return "257 \"" + folder + "\" is current directory";
}

// 3xx
inline std::string PasswordRequired(const std::string& user) { return "331 Password required for " + user; }
inline constexpr char kReadyForDestination[] = "350 File exists, ready for destination name";

// 4xx
inline constexpr char kTooManyUsers[] = "421 Too many users are connected, please try again later.";
inline constexpr char kPassiveSocketFailed[] = "421 Failed to create data socket";
inline constexpr char kActiveSocketFailed[] = "421 Failed to Create Data Connection Socket";
inline constexpr char kDataConnectionNeverCame[] = "421 Failed to create data connection socket";
inline constexpr char kNoDataConnection[] = "425 Can't open data connection";
inline constexpr char kActiveConnectRefused[] = "425 Can't open data connection.";
inline constexpr char kIdleTimeOut[] = "426 Connection timed out, aborting transfer";
inline constexpr char kTransferAborted[] = "426 Data connection closed.";
inline constexpr char kUploadBroken[] = "426 Connection closed(transfer aborted";
inline constexpr char kListingBroken[] = "426 Connection closed [transfer aborted]";
inline constexpr char kClosedBeforeTransfer[] = "426 Connection closed(transfer aborted.";
inline constexpr char kCantWriteFile[] = "450 Can't access file.";
inline constexpr char kCantOpenFile[] = "450 Can't access file";
inline constexpr char kCantCreateDirectory[] = "450 Internal error creating the directory.";
inline constexpr char kCantDeleteDirectory[] = "450 Internal error deleting the directory.";
inline std::string CantDeleteFile(const std::string& name)
{
    return "450 Internal error deleting thre file : \"" + name + "\".";
}

// 5xx
inline constexpr char kLineTooLong[] = "500 Command line too long.";
inline constexpr char kIllegalPort[] = "500 Illegal PORT command.";
inline constexpr char kSyntaxError[] = "501 Syntax error in parameters or arguments.";
inline constexpr char kNotSupported[] = "502 Not Supported Command";
inline constexpr char kUnknownUser[] = "503 UserID Not Registered";
inline constexpr char kUserFirst[] = "503 Needs ID(\"USER\") first";
inline constexpr char kAlreadyTls[] = "503 Already using TLS.";
inline constexpr char kAuthFirst[] = "503 Use AUTH TLS first.";
inline constexpr char kUnknownAuthType[] = "504 Unknown AUTH type.";
inline constexpr char kDataMustBeProtected[] = "521 Data connections must use PROT P.";
inline constexpr char kTlsDataFailed[] = "522 TLS negotiation failed on the data connection.";
inline constexpr char kLoginFirst[] = "530 Please login with ID(\"USER\") and Password(\"PASS\")";
inline constexpr char kLoginIncorrect[] = "530 Not logged in, user or password incorrect!";
inline constexpr char kTlsRequired[] = "530 TLS required: use AUTH TLS first.";
inline constexpr char kProtPRequired[] = "534 PROT P required.";
inline constexpr char kProtectionNotSupported[] = "536 Protection level not supported.";
inline constexpr char kPermissionDenied[] = "550 Permission denied.";
inline constexpr char kDeleteDenied[] = "550 Permission denied";
inline constexpr char kFilenameInvalid[] = "550 Filename invalid.";
inline constexpr char kFileNotFound[] = "550 File not found.";
inline constexpr char kFileExists[] = "550 File already exists.";
inline constexpr char kRenameFailed[] = "550 File rename failed.";
inline constexpr char kDirectoryNotFound[] = "550 Directory not found.";
inline constexpr char kDirectoryExists[] = "550 Directory already exists.";
inline constexpr char kDirectoryNotEmpty[] = "550 Directory not empty.";
inline constexpr char kCantCreateDirectoryDenied[] = "550 Can't create directory. Permission denied.";
inline std::string FolderNotFound(const std::string& argument)
{
    return "550 \"" + argument + "\": Directory not found.";
}
inline std::string FolderDenied(const std::string& argument)
{
    return "550 \"" + argument + "\": Permission denied.";
}

}  // namespace reply
