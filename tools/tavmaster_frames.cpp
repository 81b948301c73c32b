#include "tavmaster_frames.h"

#include <algorithm>
#include <cstring>

#include "base/tav_be.h"
#include "base/tav_master_proto.h"

namespace tavmaster {

namespace {

uint32_t length_field(const uint8_t* p) {
  _tavMasterbuf b;
  memcpy(&b, p, sizeof b);
  return b.pksz.get();
}

}  // namespace

FrameReader::Status FrameReader::start_message() {
  length_ = length_field(buf_.data());
  if (length_ > max_length_) return Status::kTooLarge;
  if (length_ < tav::master::kHeader) return Status::kTooShort;
  need_ = tav::master::kLenField + length_;
  return Status::kOk;
}

FrameReader::Status FrameReader::feed(const uint8_t* p, size_t n, const OnMessage& on_message) {
  while (n > 0) {
    if (have_ == 0) {
      // Nothing held: a message that lies whole in the input is handed over
      // in place, without a copy.
      if (n >= tav::master::kLenField) {
        length_ = length_field(p);
        if (length_ > max_length_) return Status::kTooLarge;
        if (length_ < tav::master::kHeader) return Status::kTooShort;
        size_t whole = tav::master::kLenField + length_;
        if (n >= whole) {
          if (!on_message(p, whole)) return Status::kStopped;
          p += whole;
          n -= whole;
          continue;
        }
        // Start holding: the bound was checked, so this allocation is at
        // most the bound.
        need_ = whole;
        buf_.resize(need_);
      } else {
        buf_.resize(tav::master::kLenField);
        need_ = tav::master::kLenField;
      }
    }
    size_t take = std::min(n, need_ - have_);
    memcpy(buf_.data() + have_, p, take);
    have_ += take;
    p += take;
    n -= take;
    if (have_ == tav::master::kLenField && need_ == tav::master::kLenField) {
      Status s = start_message();
      if (s != Status::kOk) return s;
      buf_.resize(need_);
      continue;
    }
    if (have_ == need_) {
      have_ = 0;
      need_ = tav::master::kLenField;
      bool go_on = on_message(buf_.data(), buf_.size());
      // A large message's buffer is not kept for the life of the session.
      if (buf_.capacity() > kKeepCapacity) std::vector<uint8_t>().swap(buf_);
      if (!go_on) return Status::kStopped;
    }
  }
  return Status::kOk;
}

}  // namespace tavmaster
