// Test side of the wire: starts a kvcd of its own and talks to it with exact
// bytes through a raw socket, enciphered when the login was.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kvc_turing.h"

namespace kvcd_test {

// A kvcd on 127.0.0.1 with a fresh database in a temporary folder, stopped
// with SIGTERM when the object goes.
class Server {
public:
    explicit Server(std::vector<std::string> extra_args = {});
    ~Server();
    int port() const { return port_; }
    const std::string& dir() const { return dir_; }  // the temporary folder of its database
    int stop();                          // SIGTERM; returns the exit status
    bool exits_within(int timeout_ms);   // true when it ends by itself in time

private:
    int pid_ = -1;
    int port_ = 0;
    std::string dir_;
};

// Big-endian request pieces and readers.
std::string be16(int16_t v);
std::string be32(int32_t v);
std::string be64(int64_t v);
int32_t get32(const std::string& s, size_t at = 0);
int64_t get64(const std::string& s, size_t at = 0);

// The login text as the library builds it (plain form).
std::string login_text(const std::string& user = "U", const std::string& password = "P",
                       const std::string& extra = "");
// '?', length, text, zero byte, parameter header, values.
std::string command(const std::string& text, uint32_t header = 0, const std::string& values = "");
// One value of the single-row parameter layout.
std::string param(const std::string& name, int16_t direction, int16_t type, const std::string& value,
                  bool null = false);

struct Column {
    std::string name;
    int32_t type = 0;
};

struct Message {
    char tag = 0;
    int32_t number = 0;           // U/D count; P index
    int32_t type = 0;             // P/O server type
    std::string text;             // E/F/M/W/I text; P/O value
    std::vector<Column> columns;  // A
    std::vector<std::vector<std::optional<std::string>>> rows;  // A: raw values, nullopt for null
    std::vector<std::string> param_names;                       // $
};

class Client {
public:
    explicit Client(int port);
    ~Client();
    void send_raw(const std::string& bytes);
    std::string recv_exact(size_t n);           // throws on close or after 10 s
    bool closed_by_peer(int timeout_ms = 5000);
    // The server's whole login answer ("N...K", "K" or 'E'+text), deciphered.
    std::string login_plain(const std::string& text);
    std::string login_encrypted(const std::string& text);
    // Sends a command and reads the reply up to its 'K'.
    std::vector<Message> exec(const std::string& text, uint32_t header = 0, const std::string& values = "");
    std::vector<Message> read_reply();
    Message read_message(char tag);   // its tag read already
    char read_tag() { return recv_exact(1)[0]; }
    void skip_row(size_t columns);    // a row's values, its tag read already

private:
    int fd_ = -1;
    std::unique_ptr<TuringData> send_ks_, recv_ks_;
};

// Tags of a reply in order: "IIK", "AK", ...
std::string tags(const std::vector<Message>& reply);

}  // namespace kvcd_test
