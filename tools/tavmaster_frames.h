// Cuts a TCP byte stream into whole master-link messages: a 4-byte
// big-endian length, then that many bytes, of which the first 28 are the
// header. Bytes may arrive in pieces of any size; the length is checked
// against a bound before anything is allocated for the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace tavmaster {

class FrameReader {
 public:
  enum class Status {
    kOk,        // all bytes taken
    kStopped,   // the message callback asked to stop
    kTooLarge,  // a length field above the bound
    kTooShort,  // a length field that cannot even hold the header
  };

  // Called with each whole message, length field included; returns false to
  // stop reading this stream.
  using OnMessage = std::function<bool(const uint8_t* msg, size_t size)>;

  explicit FrameReader(uint32_t max_length) : max_length_(max_length) {}

  // Takes the bytes, calling on_message for every message they complete.
  // After an error status the stream is unusable.
  Status feed(const uint8_t* p, size_t n, const OnMessage& on_message);

  // Bytes of an unfinished message are held.
  bool mid_message() const { return have_ > 0; }
  // The length field announced by the last message started (for logs).
  uint32_t announced() const { return length_; }

 private:
  // Reads the length field in buf_[0..4) and checks it.
  Status start_message();

  // A message buffer larger than this is released once used, so that one
  // large batch does not stay allocated for the life of a session.
  static constexpr size_t kKeepCapacity = 64 * 1024;

  uint32_t max_length_;
  std::vector<uint8_t> buf_;  // the message being assembled
  size_t have_ = 0;           // bytes of it held so far
  size_t need_ = 4;           // bytes it will have once whole
  uint32_t length_ = 0;
};

}  // namespace tavmaster
