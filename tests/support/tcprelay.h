#pragma once

// A TCP relay on 127.0.0.1 between clients and one server (in tests: the
// login server's database connections and MariaDB). Each connection it
// accepts is a link, numbered from 0 in the order they came; a link
// forwards both ways until the test holds it. A held link forwards nothing
// more either way and keeps both sides open: what the client sends is
// kept, the server's side is only watched for its end. So a held link is a
// path that went silent; cutting its client's side then gives the client a
// lost connection while the server's side still waits, with or without the
// kept bytes delivered later. A refusing relay closes each new connection
// at once, as a database that is not up yet: the client's attempt fails in
// its handshake.
//
//   TcpRelay relay(database.port);
//   settings.port = relay.Port();   ... connect through it ...
//   relay.Hold(0);  ...  relay.CutClientSide(0);  ...  relay.Deliver(0);

#include <cstddef>
#include <cstdint>
#include <memory>

class TcpRelay {
public:
    explicit TcpRelay(uint16_t serverPort);
    ~TcpRelay();   // closes every link
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    uint16_t Port() const;
    size_t Links();   // accepted so far

    void Refuse(bool refusing);
    void Hold(size_t link);
    size_t HeldBytes(size_t link);   // kept from the client's side since the hold
    void CutClientSide(size_t link);
    void Deliver(size_t link);       // writes what was kept to the server's side
    bool ServerSideOpen(size_t link);

private:
    struct State;
    std::unique_ptr<State> state_;
};
