// A shared one-shot reply holder: the first answer wins, and an unanswered call still gets one.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace tidewarden::platform {

// Carries a reply callback through asynchronous work that may answer from several
// places (success, each refusal, a cancellation). Every copy of the shared_ptr refers
// to one holder:
//  - send(value) calls the callback with `value` the first time and returns true;
//    every later send does nothing and returns false;
//  - if the last owner lets go without any send, the callback is called once with
//    T{} (for a byte payload: an empty reply), so the peer is never left waiting for
//    an answer that cannot come.
// Thread-safe. The callback always runs outside the holder's lock, on the thread
// that sent (or that dropped the last reference), and must not throw.
template <class T>
class OnceReply {
 public:
  static std::shared_ptr<OnceReply> make(std::function<void(T)> callback) {
    return std::shared_ptr<OnceReply>(new OnceReply(std::move(callback)));
  }

  ~OnceReply() {
    // No other owner exists any more, so no lock is needed.
    if (!sent_ && callback_) callback_(T{});
  }

  OnceReply(const OnceReply&) = delete;
  OnceReply& operator=(const OnceReply&) = delete;

  bool send(T value) {
    std::function<void(T)> callback;
    {
      std::lock_guard lock(mutex_);
      if (sent_) return false;
      sent_ = true;
      callback = std::move(callback_);
      callback_ = nullptr;
    }
    if (callback) callback(std::move(value));
    return true;
  }

  bool sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }

 private:
  explicit OnceReply(std::function<void(T)> callback) : callback_(std::move(callback)) {}

  mutable std::mutex mutex_;
  bool sent_ = false;
  std::function<void(T)> callback_;
};

}  // namespace tidewarden::platform
