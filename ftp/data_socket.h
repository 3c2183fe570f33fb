// The data connection of one transfer: a passive listener that becomes the
// connection, or an active connection to the client's PORT address. It
// sends a prepared listing or receives an upload into a file.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/async_socket.h"
#include "platform/staged_file.h"

class CVeskControlSocket;
class SessionHost;

class CVeskDataSocket : public platform::AsyncSocket {
public:
    // plainScan: the upload is paced as the plain-scan setting asks.
    CVeskDataSocket(CVeskControlSocket* owner, bool plainScan);
    ~CVeskDataSocket() override;

    // Asks the session's thread to discard this connection once the running
    // handler has returned. A connection opened in the meantime (a pipelined
    // PASV and STOR) is not touched by the request.
    void DiscardLater();

    // Plain-scan mode: one chunk of this size per this many milliseconds at
    // most.
    static constexpr size_t kChunk = 4096;
    static constexpr int kPlainScanPauseMs = 200;
    // Otherwise each receive takes what the socket holds, up to this size,
    // and one notification reads at most kReadsPerWakeup times before the
    // thread looks at its control connection again.
    static constexpr size_t kUploadChunk = 1024 * 1024;
    static constexpr int kReadsPerWakeup = 16;

    bool OpenStoreFile(const std::string& localPath, platform::UniqueFd folder = {});
    int ReceiveFileChunk();
    // Starts the upload: reading is enabled from here on.
    void BeginUpload();
    // Starts sending `listing` (already in the wire's code page).
    void BeginListing(std::string listing);

    // An upload or a listing runs on this connection and has not ended.
    bool IsTransferring() const { return m_bTransferring; }
    // The client has closed or reset this connection.
    bool PeerHasClosed() const { return m_bPeerClosed || AsyncSocket::PeerHasClosed(); }
    // The client has closed an upload's connection: everything it sent is
    // written and the upload ends now, without the plain-scan pauses.
    void FinishUpload();
    // ABOR: the transfer ends here; an upload's file is thrown away.
    void Abandon();
    // Before ABOR is acted on: an upload whose data connection the client
    // has already closed cleanly is complete, and ends as such. True when
    // the transfer has ended here (with its own final reply).
    bool FinishIfEnded();

    // A transfer whose data connection has moved no byte for this long has
    // stalled (a flatbed device waiting for its next page): commands that
    // cannot touch it are answered meanwhile.
    static constexpr int kStallMs = 2000;
    // Nothing is waiting on the data connection, no end either, and no byte
    // has moved for kStallMs.
    bool HasStalled() const;
    int MillisecondsUntilStalled() const;
    // Out of descriptors, a waiting client is looked at again after this.
    static constexpr int kAcceptPauseMs = 100;
    // The transfer command that this connection was opened for has had its
    // final reply without using it: a later close by the client says nothing.
    void MarkAnswered() { m_bAnswered = true; }

    // A passive connection the client has made already is taken at once,
    // without a turn of the loop.
    void AcceptWaiting()
    {
        if (IsListening())
            OnAccept(0);
    }
    // The client has connected, or an active connect has ended either way;
    // with PROT P, the TLS handshake has ended too.
    bool IsConnected() const { return m_bConnected != 0 && !IsTlsHandshaking(); }
    // An active connect was refused: the transfer must not go on.
    bool ConnectFailed() const { return m_bConnectFailed; }
    // Its transfer is over and its discard on the way: a command read
    // before the discard must not take it for a connection to use.
    bool IsSpent() const { return m_bSpent; }
    // Tells this connection apart from the session's earlier and later ones.
    unsigned Serial() const { return m_nSerial; }

protected:
    void OnReceive(int error) override;
    void OnAccept(int error) override;
    void OnConnect(int error) override;
    void OnClose(int error) override;
    // Sends the listing handed over in m_strSendBuffer.
    void OnSend(int error) override;
    void OnTlsHandshake(bool succeeded) override;

public:
    // With PROT P the connection is secured as soon as it is up, or when a
    // transfer command finds it up without the protection now in force; a
    // transfer over a failed handshake ends with 522 (an upload as failed).
    void SecureIfProtected();
    bool TlsFailed() const { return m_bTlsFailed; }

private:
    bool EndedByFailedTls(bool transferOver);
    bool m_bTlsFailed = false;

    int m_bConnected = 0;
    uint64_t m_nBytesSent = 0;
    uint64_t m_nTotalBytes = 0;
    platform::StagedFile m_File;
    std::string m_strSendBuffer;
    std::string m_strStorePath;  // the file an upload goes into
    uint64_t m_nBytesReceived = 0;
    CVeskControlSocket* const m_pControlSocket;
    const unsigned m_nSerial;
    const int m_bPlainScan;
    bool m_bConnectFailed = false;
    bool m_bSpent = false;
    // The upload's staging file is open and its outcome not reported yet:
    // every upload is reported exactly once, stored or failed.
    bool m_bUploadUnreported = false;
    std::chrono::steady_clock::time_point m_lastProgress{};

    // transferOver: the session is idle again. A failed upload leaves the
    // session in its upload state until the next transfer command.
    void EndTransfer(const std::string& reply, bool transferOver);
    SessionHost* Host() const;  // the session's host, if it has one
    void CompleteUpload();
    void ReportUpload(bool stored);
    void NoteProgress() { m_lastProgress = std::chrono::steady_clock::now(); }
    bool PlainScanPauseDue();
    void StopPauseTimer();
    void ResumeAfterPause();
    void Drain();

    std::chrono::steady_clock::time_point m_nextReceive{};
    unsigned m_nPauseTimer = 0;
    bool m_bPeerClosed = false;
    bool m_bTransferring = false;
    bool m_bAnswered = false;
    bool m_bHurry = false;  // no more plain-scan pauses
};
