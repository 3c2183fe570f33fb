// The FTP session of one client: its control connection, the reply sender,
// the dispatcher and every command, path resolution inside the home folder,
// and the data connection of the current transfer.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "ftp/session_host.h"
#include "platform/async_socket.h"
#include "platform/confined_fs.h"
#include "platform/page_buffer.h"

class CVeskDataSocket;

enum SessionStatus {
    STATUS_IDLE = 0,
    STATUS_NOT_LOGGED_IN = 1,
    STATUS_LIST = 2,
    STATUS_STOR = 3,
};

// Operation kinds handed to the resolvers.
enum PathOperation {
    OP_STORE = 2,
    OP_RENAME = 3,
    OP_DELETE = 4,
    OP_MAKE_DIRECTORY = 5,
    OP_LIST = 6,
};

// Resolver results.
enum PathResult {
    PATH_OK = 0,
    PATH_NO_FILE = 2,
    PATH_DIRECTORY_NOT_FOUND = 3,
    PATH_REFUSED = 5,
};

class CVeskControlSocket : public platform::AsyncSocket {
public:
    CVeskControlSocket();
    ~CVeskControlSocket() override;

    // Reads at most this many bytes per notification.
    static constexpr size_t kReceiveChunk = 4096;
    // An incomplete command line longer than this is dropped with a 500 reply.
    static constexpr size_t kMaxLineLength = 8192;
    // How long a reply may wait for room in the socket before the client is
    // taken for gone.
    static constexpr int kSendTimeoutMs = 10000;

    // Reply sender: one line, CR LF appended. False when the client is gone.
    bool SendResponse(const std::string& reply);

    // Command lines (control connection).
    void ParseCommandLines();
    void ProcessCommand();
    // The client has logged in at least once in this session.
    bool HasLoggedIn() const { return m_bLoggedIn; }

    // Path resolution inside the home folder.
    bool MapClientPathToLocal(std::string clientPath, std::string& localPath);
    int ResolveDirectoryPath(std::string clientPath, int operation, std::string& localPath);
    // OP_STORE may hand out the target's folder, opened: the upload then
    // goes into exactly that folder (see CVeskDataSocket::OpenStoreFile).
    int ResolveFilePath(std::string clientPath, int operation, std::string& localPath,
                        platform::UniqueFd* folder = nullptr);
    void ChangeDirectory(const std::string& argument);

    // Listing.
    bool BuildDirectoryListing(std::string argument, std::string& listing);

    // Data connection.
    bool OpenDataConnection();
    void CloseDataConnection();
    // Closes the data connection if it is still the one with this serial (a
    // newer one goes on), then serves the lines that waited for it.
    void DiscardDataConnection(unsigned serial);
    unsigned NextDataSocketSerial() { return ++m_nDataSocketSerial; }
    // The data connection's transfer has ended with `reply`. idle: the
    // session may start the next transfer; a failed upload leaves it in its
    // upload state until the next transfer command.
    void EndOfTransfer(const std::string& reply, bool idle);
    int Status() const { return m_nStatus; }
    // The receive buffer of the session's uploads, `size` bytes at least: one
    // for the whole session, so that an upload neither allocates nor clears
    // a megabyte, and handed back to the system with the session.
    char* UploadBuffer(size_t size);

    // Who runs this session, and what it knows of its client.
    void SetHost(SessionHost* host) { m_pThread = host; }
    SessionHost* Host() const { return m_pThread; }
    // The host's settings as they are now, and the home folder among them.
    std::shared_ptr<const ServerSettings> Settings() const;
    std::string HomePath() const;
    void SetPeerAddress(const std::string& address) { m_strPeerAddress = address; }
    std::string PeerAddress() const { return m_strPeerAddress; }
    // The client's current folder as the client names it ("/" is the home).
    const std::string& CurrentDirectory() const { return m_strCurrentDir; }
    void SetCurrentDirectory(const std::string& folder) { m_strCurrentDir = folder; }

protected:
    void OnReceive(int error) override;
    void OnClose(int error) override;

private:
    // Session fields.
    std::unique_ptr<CVeskDataSocket> m_pDataSocket;
    platform::PageBuffer m_UploadBuffer;
    unsigned m_nDataSocketSerial = 0;  // the last one handed out
    SessionHost* m_pThread = nullptr;  // the connection thread that runs this session
    int m_nStatus = STATUS_NOT_LOGGED_IN;
    int m_nDataPort = -1;
    std::string m_strDataHost;
    int m_bPassive = 0;
    std::deque<std::string> m_CommandQueue;
    std::string m_strRecvBuffer;
    std::string m_strUserName;
    std::string m_strCurrentDir;
    std::string m_strRenameFrom;
    std::string m_strRenameTo;
    int m_bUTF8 = 0;

    // Set while a command waits for its data connection: lines that arrive
    // meanwhile are held and dispatched after that command.
    bool m_bWaitingForData = false;
    std::string m_strPeerAddress;

    // Serves the lines held while the session was busy, once it no longer is
    // (or a stalled transfer lets some of them through).
    void ResumeCommands();
    void AppendReceived(const char* chunk, size_t length);
    void EnforceLineLimit();
    void OnClientGone();
    // Replies go out in the order of the commands: while the session is busy
    // (a transfer runs) the next line waits for the final reply, but for
    // ABOR and, once the transfer has stalled, the verbs the command table
    // lets through.
    bool SessionIsBusy() const;
    bool TransferIsRunning() const;
    bool MustHold(const std::string& line) const;
    // A held line that may go once the transfer stalls is looked at again then.
    void RecheckWhenStalled(const std::string& line);
    unsigned m_nStallTimer = 0;
    bool AborIsQueued() const;
    void AbortTransferForQueuedAbor();
    void MarkDataConnectionAnswered();
    // The upload of a STOR whose 150 went out has failed before it started.
    void ReportFailedStor(const std::string& localPath);

    bool m_bDispatching = false;
    bool m_bDiscardingLine = false;
    bool m_bLoggedIn = false;

    // A login reply that waits for its address's turn, with the lines after it.
    bool LoginReplyWaits() const { return m_nLoginTimer != 0; }
    using LoginHandler = void (CVeskControlSocket::*)(const std::string&);
    bool HoldLoginReply(LoginHandler handler, const std::string& argument);
    void OnLoginTurn(unsigned timerId);
    void ForfeitHeldLogin();
    void TellLoginOutcome(const std::string& user, SessionHost::LoginOutcome outcome);
    bool m_bLoginGuarded = false;  // named mode: failures count (set per USER and PASS)
    unsigned m_nLoginTimer = 0;    // of the host's queue; 0: no reply waits
    LoginHandler m_HeldLoginHandler = nullptr;
    std::string m_strHeldLoginArgument;

    // Command handlers (one per verb; see the table in dispatch.cpp).
    friend struct CommandTable;
    void OnUser(const std::string& argument);
    void OnPass(const std::string& argument);
    void OnQuit(const std::string& argument);
    void OnType(const std::string& argument);
    void OnPwd(const std::string& argument);
    void OnCwd(const std::string& argument);
    void OnCdup(const std::string& argument);
    void OnSyst(const std::string& argument);
    void OnNoop(const std::string& argument);
    void OnOpts(const std::string& argument);
    void OnRnfr(const std::string& argument);
    void OnRnto(const std::string& argument);
    void OnDele(const std::string& argument);
    void OnMkd(const std::string& argument);
    void OnRmd(const std::string& argument);
    void OnPort(const std::string& argument);
    void OnPasv(const std::string& argument);
    void OnEpsv(const std::string& argument);
    void OnList(const std::string& argument);
    void OnStor(const std::string& argument);
    void OnAbor(const std::string& argument);

    bool OpenPassiveListener();
    const std::string& LocalAddress();
    std::string m_strLocalAddress;  // of the control connection, once known
    int ResolveUploadTarget(const std::string& home, const std::string& localFolder,
                            const std::string& name, std::string& localPath,
                            platform::UniqueFd* folderOut);
    // Names on disk are UTF-8; the wire is UTF-8 in UTF-8 mode and the
    // scanners' code page (CP949) otherwise.
    std::string ToWire(const std::string& text) const;
    std::string FromWire(const std::string& text) const;

    // FTPS (tls_commands.cpp): AUTH secures this connection, PROT P the data
    // connections; required mode refuses what would go in clear.
public:
    // The context a new data connection is secured with; null for PROT C.
    std::shared_ptr<const platform::TlsServerContext> DataTlsContext() const;

private:
    void OnAuth(const std::string& argument);
    void OnPbsz(const std::string& argument);
    void OnProt(const std::string& argument);
    void OnFeat(const std::string& argument);
    void OnTlsHandshake(bool succeeded) override;
    // Refuses (with its reply) a verb that required mode keeps from clear text.
    bool RefusedWithoutTls(const std::string& verb);
    bool m_bProtectData = false;
};

// The verb of a command line as the dispatcher sees it: upper case, without
// its argument and line end.
std::string CommandVerb(const std::string& line);

// Free helpers of the session.
bool LocalPathToClientPath(std::string localPath, std::string& clientPath,
                           const std::string& homePath);
bool CreateDirectoryChain(const std::string& home, const std::string& localPath);
