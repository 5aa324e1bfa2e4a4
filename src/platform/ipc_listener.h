// The helper's connection listener: a local stream socket standing in for an XPC
// Mach-service listener, with per-connection admission and exported objects.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tidewarden::platform {

// Delivers a call's reply. Called at most once; a call whose reply block is dropped
// without being called is answered with an empty reply, so every call gets one.
using ReplyBlock = std::function<void(std::string reply)>;

// One method of the exported interface: its selector, whether it carries an argument
// blob, and its lane. The in-flight limits count per lane, so calls of one lane never
// wait for calls of another: methods served by one engine queue share a lane.
struct ExportedMethod {
  std::string selector;
  bool takesArgument = false;
  std::string lane;
};
using ExportedInterface = std::vector<ExportedMethod>;

class ExportedObject {
 public:
  virtual ~ExportedObject() = default;
  // Runs on the connection's thread, one call at a time per connection; `argument`
  // is present exactly for methods that take one. May return before replying.
  virtual void invoke(const std::string& selector, std::optional<std::string> argument,
                      ReplyBlock reply) = 0;
  // A call of a method that takes an argument whose frame is over the transport limit:
  // only its selector was read, the argument never is. The connection closes once this
  // reply (by default an empty one) has been written.
  virtual void refuseOversized(const std::string& selector, ReplyBlock reply) {
    (void)selector;
    reply({});
  }
};

// A connection on its way through admission. Nothing is read from the peer until
// the delegate has accepted it and resumed it.
class IncomingConnection {
 public:
  virtual ~IncomingConnection() = default;
  // The peer's process identifier, taken from the kernel when it connected.
  virtual pid_t processIdentifier() const = 0;
  virtual void setExportedInterface(ExportedInterface interface) = 0;
  virtual void setExportedObject(std::shared_ptr<ExportedObject> object) = 0;
  virtual void setInvalidationHandler(std::function<void()> handler) = 0;
  virtual void setInterruptionHandler(std::function<void()> handler) = 0;
  virtual void resume() = 0;
};

class ListenerDelegate {
 public:
  virtual ~ListenerDelegate() = default;
  // Yes admits the connection (after configuring and resuming it); no closes it
  // without a byte sent. Called concurrently for different connections.
  virtual bool shouldAcceptNewConnection(IncomingConnection& connection) = 0;
};

// What one peer may cost the listener. The defaults are the helper's; tests shrink the
// time limits so that a stalled peer is seen in milliseconds.
struct ListenerLimits {
  // Connections open at once, admitted or waiting; further ones are closed unread. A
  // connection counts until its last reply has been written or dropped.
  std::size_t maxConnections = 128;
  // Connections one user id may hold at once, counted the same way.
  std::size_t maxConnectionsPerUser = 32;
  // Admissions examined at the same time; later connections wait their turn.
  std::size_t admissionWorkers = 4;
  // From accept to admitted; a connection still waiting then is closed unread.
  std::chrono::milliseconds admissionTimeLimit{5000};
  // Calls of one lane of one connection handed over and not yet answered (their reply
  // not yet written or dropped); a further call of that lane is held until one is.
  std::size_t maxCallsInFlight = 4;
  // The same per lane over all connections of one user id.
  std::size_t maxCallsInFlightPerUser = 4;
  // Calls one connection holds because their lane is at a limit, and their bytes; while
  // either bound is reached, nothing more is read from that peer.
  std::size_t maxWaitingCalls = 32;
  std::size_t maxWaitingCallBytes = 1024u * 1024u;
  // Replies waiting for a peer that does not read; past either bound it is disconnected.
  std::size_t maxReplyBacklogFrames = 256;
  std::size_t maxReplyBacklogBytes = 32u * 1024u * 1024u;
  // How long one reply may wait for the peer to take any of its bytes.
  std::chrono::milliseconds writeStallLimit{5000};
};

// Listens on a Unix-domain socket. A small pool of workers runs admission, in the order
// connections arrived, before anything is read from the peer; a peer outside the
// helper's own user and PID namespaces is never admitted. Each admitted connection
// then has a reader thread, which reads calls in order and hands them to the exported
// object (per lane at most maxCallsInFlight unanswered at a time, and
// maxCallsInFlightPerUser over all connections of its user: a call beyond that is held,
// in order, until its lane has room, and past maxWaitingCalls held calls the reader stops
// reading and the peer waits), and a writer thread for replies the socket cannot take at once:
// whatever thread finishes a call only writes what the socket accepts without waiting,
// so a peer that stops reading never holds up an engine. A frame over the transport
// limit (answered first through refuseOversized when its selector could be read), a
// malformed frame, an unknown selector, an argument that does not fit the method, bytes
// written by any process other than the admitted one, an admitted process that has
// since run another program or left the helper's namespaces: each closes the
// connection. A peer that half-closes still gets the replies of its calls. Work already
// handed to an exported object goes on when the peer leaves; its reply is dropped.
class Listener {
 public:
  // Creates the socket at `socketPath` (replacing a stale socket there, never any
  // other kind of file), connectable by every local user: admission, not file
  // permissions, decides who is served. Throws std::runtime_error on failure.
  static std::unique_ptr<Listener> create(const std::string& socketPath, ListenerLimits limits = {});
  virtual ~Listener() = default;
  // The delegate must outlive the listener.
  virtual void setDelegate(ListenerDelegate* delegate) = 0;
  // Starts accepting connections.
  virtual void resume() = 0;
};

}  // namespace tidewarden::platform
