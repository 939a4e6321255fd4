// Starts a private kvcd for kvcsql when no server is named, and stops it.
#pragma once

#include <string>
#include <sys/types.h>

namespace kvcsql {

// The kvcd to start: explicit (--kvcd), else $KVCD, else next to kvcsql in
// the build tree (../server/kvcd) or in the same folder, else "kvcd" on PATH.
// Returns "" when none is found.
std::string find_kvcd(const std::string& explicit_path);

class EmbeddedServer {
public:
    EmbeddedServer() = default;
    EmbeddedServer(const EmbeddedServer&) = delete;
    EmbeddedServer& operator=(const EmbeddedServer&) = delete;
    ~EmbeddedServer() { stop(); }

    // Starts kvcd on a free loopback port with db_path, or with a database in
    // a new temporary folder when db_path is empty. Returns "" or a message.
    std::string start(const std::string& kvcd_path, const std::string& db_path);

    // Stops the server (if running) and removes the temporary folder.
    void stop();

    int port() const { return port_; }
    const std::string& database() const { return db_path_; }

    // From a signal handler: ends the server and removes what can be removed
    // with async-signal-safe calls only.
    static void stop_from_signal();

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string temp_dir_;
    std::string db_path_;
    std::string log_path_;
};

}  // namespace kvcsql
