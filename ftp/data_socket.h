// The data connection of one transfer: a passive listener that becomes the
// connection, or an active connection to the client's PORT address. It
// sends a prepared listing or receives an upload into a file.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/async_socket.h"

class CVeskControlSocket;

class CVeskDataSocket : public platform::AsyncSocket {
public:
    explicit CVeskDataSocket(CVeskControlSocket* owner);
    ~CVeskDataSocket() override;

    // Asks the session's thread to discard this connection once the running
    // handler has returned. A connection opened in the meantime (a pipelined
    // PASV and STOR) is not touched by the request.
    void DiscardLater();

    static constexpr size_t kChunk = 4096;
    // Plain-scan mode: one chunk per this many milliseconds at most.
    static constexpr int kPlainScanPauseMs = 200;

    bool OpenStoreFile(const std::string& localPath);
    int ReceiveFileChunk();
    // Starts the upload: reading is enabled from here on.
    void BeginUpload();
    // Sends the listing handed over in m_strSendBuffer.
    void OnSend(int error) override;

    int m_bConnected = 0;
    uint64_t m_nBytesSent = 0;
    uint64_t m_nTotalBytes = 0;
    int m_File = -1;
    std::string m_strSendBuffer;
    std::string m_strStorePath;  // the file an upload goes into
    CVeskControlSocket* const m_pControlSocket;
    // Tells this connection apart from the session's earlier and later ones.
    const unsigned m_nSerial;
    int m_bPlainScan = 0;
    // Set when an active connect was refused: the transfer must not go on.
    bool m_bConnectFailed = false;

protected:
    void OnReceive(int error) override;
    void OnAccept(int error) override;
    void OnConnect(int error) override;
    void OnClose(int error) override;

private:
    void CloseFile();
    // transferOver: the session is idle again. A failed upload leaves the
    // session in its upload state until the next transfer command.
    void EndTransfer(const std::string& reply, bool transferOver);
    bool PlainScanPauseDue();
    void ResumeAfterPause();
    void Drain();

    std::chrono::steady_clock::time_point m_nextReceive{};
    unsigned m_nPauseTimer = 0;
    bool m_bPeerClosed = false;
};
