// An in-process stand-in for the database server, for wire tests: it listens
// on 127.0.0.1 (port chosen by the system), plays the server's side of the
// plain and the encrypted login, records every byte it receives (deciphered)
// and answers each request with a scripted byte sequence.
#pragma once

#include "support/wire_pair.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptedPeer {
public:
    // How the peer meets a connection.
    enum class Welcome {
        AcceptK,          // answers the login with 'K' (protocol 201)
        AcceptN,          // 'N', four bytes, 'K' (protocol 301)
        RefuseLogin,      // a refusal byte and a length-prefixed text
        CloseAtOnce,      // closes the socket without reading the login
        CloseAfterLogin,  // reads the login, then closes without an answer
        ZeroPublicKey,    // (encrypted login) sends an all-zero exponent and modulus
    };

    // What the peer received on one accepted connection.
    struct Session {
        bool encrypted = false;
        bool login_complete = false;        // the whole login arrived and was understood
        bool sevens_ok = false;             // (encrypted) every full text block ended in 07 07
        std::string login_text;             // deciphered, stripped of 07 07
        Bytes login_raw;                    // the login bytes exactly as they came
        Bytes session_key;                  // (encrypted) the 32-byte key recovered from block 0
        std::vector<std::string> commands;  // texts of the command messages, in order
        bool closed = false;                // the client closed, or the peer hung up
    };

    ScriptedPeer();
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;

    uint16_t port() const { return port_; }
    std::string conn_str(const std::string& extra) const;   // "IP=127.0.0.1;PORT=<port>;" + extra
    void set_welcome(Welcome welcome);   // for every connection accepted from now on

    // The reply to the next request (command or continue); unscripted ones get a lone 'K'.
    void script(const Bytes& reply);
    void script_then_close(const Bytes& partial);   // a reply that breaks off

    int connection_count() const;
    Session session(int index) const;   // a copy, index from 0
    // Waits until the predicate holds for session index (or 5 seconds pass).
    bool wait_session(int index, bool (*ready)(const Session&)) const;

private:
    struct Reply { Bytes bytes; bool close_after = false; };
    struct Connection;

    void accept_loop();
    void serve(int fd, int index);
    bool login(Connection& c);
    bool login_plain(Connection& c, const unsigned char first[5]);
    bool login_encrypted(Connection& c);
    Reply pop_reply();
    void update(int index, const Session& session);

    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::thread acceptor_;
    std::vector<std::thread> servers_;
    std::vector<int> client_fds_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Session> sessions_;
    std::deque<Reply> replies_;
    Welcome welcome_ = Welcome::AcceptN;
    bool stopping_ = false;
};
