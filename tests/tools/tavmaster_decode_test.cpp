// The development master's pure parts: JSON escaping, record decoding,
// message cutting, batch checks and the command line.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tavmaster_frames.h"
#include "tavmaster_json.h"
#include "tavmaster_options.h"
#include "tavmaster_records.h"

namespace {

using namespace tavmaster;

// --- JSON escaping ---------------------------------------------------------

struct EscapeCase {
  const char* name;
  std::string in;
  std::string out;
};

TEST(TavmasterJson, EscapesWhatJsonAndUtf8Require) {
  const EscapeCase cases[] = {
      {"plain", "abc 123", "abc 123"},
      {"quote and backslash", "a\"b\\c", "a\\\"b\\\\c"},
      {"control bytes", "\x01\n\t\x1f", "\\u0001\\u000a\\u0009\\u001f"},
      {"NUL inside", std::string("a\0b", 3), "a\\u0000b"},
      {"DEL", "\x7f", "\\u007f"},
      {"two-byte UTF-8", "caf\xc3\xa9", "caf\xc3\xa9"},
      {"three-byte UTF-8", "\xed\x95\x9c", "\xed\x95\x9c"},
      {"four-byte UTF-8", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"lone continuation byte", "\x80", "\\u0080"},
      {"sequence cut at the end", "a\xc3", "a\\u00c3"},
      {"sequence cut by ASCII", "\xe2\x82x", "\\u00e2\\u0082x"},
      {"overlong two-byte", "\xc0\xaf", "\\u00c0\\u00af"},
      {"overlong three-byte", "\xe0\x80\xaf", "\\u00e0\\u0080\\u00af"},
      {"surrogate", "\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},
      {"above U+10FFFF", "\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},
      {"invalid lead byte", "\xff\xfe", "\\u00ff\\u00fe"},
  };
  for (const auto& c : cases) {
    std::string out;
    json_escape(out, c.in);
    EXPECT_EQ(out, c.out) << c.name;
  }
}

TEST(TavmasterJson, FieldTextEndsAtNulOrFieldEnd) {
  // The byte after each field is not NUL: a reader that ran past the field
  // would take it.
  const char with_nul[] = {'a', 'b', '\0', 'c', 'X'};
  const char full[] = {'a', 'b', 'c', 'd', 'X'};
  const char empty[] = {'\0', 'y', 'X'};
  EXPECT_EQ(field_text(with_nul, 4), "ab");
  EXPECT_EQ(field_text(full, 4), "abcd");
  EXPECT_EQ(field_text(empty, 2), "");
}

// --- record decoding -------------------------------------------------------

template <typename T>
std::vector<uint8_t> wire_of(const T& r) {
  const auto* p = reinterpret_cast<const uint8_t*>(&r) + offsetof(T, gtuid);
  return {p, p + kWireSize<T>};
}

template <size_t N>
void put(char (&f)[N], const std::string& s) {
  ASSERT_LE(s.size(), N);
  memcpy(f, s.data(), s.size());
}

TEST(TavmasterRecords, Type1RecordBecomesOneLineWithEveryField) {
  mzp1_t r{};
  r.type = 4242;  // not on the wire
  put(r.gtuid, "0102030405060708091011");
  put(r.seq, "00007");
  put(r.nid, "001");
  put(r.pid, "00012345");
  put(r.tid, "00067890");
  put(r.dtime, "20261210123456654321");
  put(r.start, "C");
  put(r.send, "S");
  put(r.trcode, "TRX-0001");
  put(r.dmname, std::string(33, 'D'));  // full field, no NUL
  put(r.ndname, "node1");
  put(r.srname, "server\x01\xff");
  put(r.svname, "svc\"q");
  put(r.scode, "2");
  put(r.pcode, "41");
  put(r.iotype, "S");
  put(r.ipaddr, "10.1.2.3");
  r.port = 1521;
  r.iosize = 0x01020304;
  r.etime = 123456;
  r.rtime = 0xffffffffu;
  const uint8_t pattern[] = {0xde, 0xad, 0xbe, 0xef}, filler[] = {0, 1, 2, 0xff};
  memcpy(r.pattern, pattern, 4);
  memcpy(r.filler, filler, 4);

  auto wire = wire_of(r);
  ASSERT_EQ(wire.size(), 288u);
  _tavMasterhdr h;
  tav::master::fill_header(h, '0', tav::master::kGtuidBatch);
  const BatchKind* kind = batch_kind(h);
  ASSERT_NE(kind, nullptr);
  std::string out;
  append_record_json(out, Origin{7, "127.0.0.1:40001"}, *kind, wire.data());
  EXPECT_EQ(out,
            R"({"session":7,"peer":"127.0.0.1:40001","batch":"MZZP000001","type":1,)"
            R"("gtuid":"0102030405060708091011","seq":"00007","event":"C","direction":"S",)"
            R"("dtime":"20261210123456654321","nid":"001","pid":"00012345","tid":"00067890",)"
            R"("trcode":"TRX-0001","domain":")" +
                std::string(33, 'D') +
                R"(","node":"node1","process":"server\u0001\u00ff","service":"svc\"q",)"
                R"("scode":"2","pcode":"41","iotype":"S","ipaddr":"10.1.2.3","port":1521,)"
                R"("iosize":16909060,"etime":123456,"rtime":4294967295,"pattern":"deadbeef",)"
                R"("filler":"000102ff"})"
                "\n");
}

TEST(TavmasterRecords, TcodeRecordsOfBothSizes) {
  mzp2_t r2{};
  put(r2.gtuid, "9999999999999999999999");
  put(r2.trcode, "ORDER");
  put(r2.seq, "00002");
  put(r2.dtime, "20261210000000000001");
  put(r2.ipaddr, "10.9.8.7");
  r2.blocking[0] = 1;
  mzp4_t r4{};
  put(r4.gtuid, "1111111111111111111111");
  put(r4.trcode, std::string(33, 'T'));  // full field: seq follows directly
  put(r4.seq, "00003");
  put(r4.dtime, "20261210000000000002");
  put(r4.ipaddr, "10.9.8.6");
  r4.blocking[0] = '\xff';
  put(r4.custinfo, "cust-42");
  put(r4.userinfo, std::string(33, 'U'));  // full field: the last byte follows
  r4.dummy[0] = 'Z';

  _tavMasterhdr h2, h4;
  tav::master::fill_header(h2, '0', tav::master::kTcodeBatch);
  tav::master::fill_header(h4, '0', tav::master::kTcode4Batch);
  ASSERT_NE(batch_kind(h2), nullptr);
  ASSERT_NE(batch_kind(h4), nullptr);
  EXPECT_EQ(batch_kind(h2)->record_size, 104u);
  EXPECT_EQ(batch_kind(h4)->record_size, 168u);

  std::string out;
  append_record_json(out, Origin{1, "p"}, *batch_kind(h2), wire_of(r2).data());
  EXPECT_EQ(out, R"({"session":1,"peer":"p","batch":"MZZP000002","type":2,)"
                 R"("gtuid":"9999999999999999999999","trcode":"ORDER","seq":"00002",)"
                 R"("dtime":"20261210000000000001","ipaddr":"10.9.8.7","blocking":1})"
                 "\n");
  out.clear();
  append_record_json(out, Origin{2, "q"}, *batch_kind(h4), wire_of(r4).data());
  EXPECT_EQ(out, R"({"session":2,"peer":"q","batch":"MZZP000004","type":4,)"
                 R"("gtuid":"1111111111111111111111","trcode":")" +
                     std::string(33, 'T') +
                     R"(","seq":"00003","dtime":"20261210000000000002","ipaddr":"10.9.8.6",)"
                     R"("blocking":255,"custinfo":"cust-42","userinfo":")" +
                     std::string(33, 'U') + "\"}\n");
}

TEST(TavmasterRecords, OtherCodesAreNoBatch) {
  for (const char* code : {tav::master::kOpen, tav::master::kPoll, "MZZP000003", "MZZP000006",
                           "mzzp000001"}) {
    _tavMasterhdr h;
    tav::master::fill_header(h, '0', code);
    EXPECT_EQ(batch_kind(h), nullptr) << code;
  }
}

// A batch message: count field as given, then the record bytes.
std::vector<uint8_t> batch_message(const char* code, uint32_t count, size_t record_bytes) {
  std::vector<uint8_t> m(sizeof(BatchHead) + record_bytes, 0);
  BatchHead head{};
  head.frame.pksz = static_cast<uint32_t>(m.size() - 4);
  tav::master::fill_header(head.hdr, '0', code);
  head.count = count;
  memcpy(m.data(), &head, sizeof head);
  return m;
}

TEST(TavmasterRecords, BatchCountMustMatchItsBytes) {
  struct Case {
    const char* name;
    uint32_t count;
    size_t record_bytes;
    BatchError want;
  } cases[] = {
      {"three records", 3, 3 * 288, BatchError::kNone},
      {"empty batch", 0, 0, BatchError::kNone},
      {"count above the bytes", 3, 2 * 288, BatchError::kSizeMismatch},
      {"count below the bytes", 2, 3 * 288, BatchError::kSizeMismatch},
      {"part of a record left over", 1, 289, BatchError::kSizeMismatch},
      // 134217729 × 288 wraps to 288 in 32 bits.
      {"count that wraps in 32 bits", 134217729u, 288, BatchError::kSizeMismatch},
      {"largest count", 0xffffffffu, 288, BatchError::kSizeMismatch},
  };
  _tavMasterhdr h;
  tav::master::fill_header(h, '0', tav::master::kGtuidBatch);
  for (const auto& c : cases) {
    auto m = batch_message(tav::master::kGtuidBatch, c.count, c.record_bytes);
    uint32_t count = 0;
    EXPECT_EQ(check_batch(m.data(), m.size(), *batch_kind(h), &count), c.want) << c.name;
    EXPECT_EQ(count, c.count) << c.name;
  }
  // A header alone, or a count without its reserved bytes: no count to read.
  auto m = batch_message(tav::master::kGtuidBatch, 0, 0);
  uint32_t count = 0;
  EXPECT_EQ(check_batch(m.data(), 32, *batch_kind(h), &count), BatchError::kShort);
  EXPECT_EQ(check_batch(m.data(), 39, *batch_kind(h), &count), BatchError::kShort);
}

// --- cutting the stream into messages --------------------------------------

std::string message(uint32_t length_field, char fill) {
  std::string m(4 + static_cast<size_t>(length_field), fill);
  m[0] = static_cast<char>(length_field >> 24);
  m[1] = static_cast<char>(length_field >> 16);
  m[2] = static_cast<char>(length_field >> 8);
  m[3] = static_cast<char>(length_field);
  return m;
}

struct Fed {
  FrameReader::Status status = FrameReader::Status::kOk;
  std::vector<std::string> messages;
};

// Feeds the stream in pieces of `piece` bytes.
Fed feed_in_pieces(FrameReader& r, const std::string& stream, size_t piece) {
  Fed fed;
  auto on = [&](const uint8_t* p, size_t n) {
    fed.messages.emplace_back(reinterpret_cast<const char*>(p), n);
    return true;
  };
  for (size_t at = 0; at < stream.size() && fed.status == FrameReader::Status::kOk; at += piece) {
    size_t n = std::min(piece, stream.size() - at);
    fed.status = r.feed(reinterpret_cast<const uint8_t*>(stream.data()) + at, n, on);
  }
  return fed;
}

TEST(TavmasterFrames, MessagesComeWholeWhateverThePieces) {
  const std::string a = message(28, 'a'), b = message(36 + 288, 'b'), c = message(28, 'c');
  const std::string stream = a + b + c;
  for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{4}, size_t{5}, size_t{31},
                       size_t{32}, size_t{33}, size_t{100}, stream.size()}) {
    FrameReader r(1 << 20);
    Fed fed = feed_in_pieces(r, stream, piece);
    EXPECT_EQ(fed.status, FrameReader::Status::kOk) << piece;
    ASSERT_EQ(fed.messages.size(), 3u) << piece;
    EXPECT_EQ(fed.messages[0], a) << piece;
    EXPECT_EQ(fed.messages[1], b) << piece;
    EXPECT_EQ(fed.messages[2], c) << piece;
    EXPECT_FALSE(r.mid_message()) << piece;
  }
}

TEST(TavmasterFrames, HoldsAnUnfinishedMessage) {
  FrameReader r(1 << 20);
  std::string m = message(40, 'x');
  Fed fed = feed_in_pieces(r, m.substr(0, 10), 10);
  EXPECT_TRUE(fed.messages.empty());
  EXPECT_TRUE(r.mid_message());
  fed = feed_in_pieces(r, m.substr(10), 100);
  ASSERT_EQ(fed.messages.size(), 1u);
  EXPECT_EQ(fed.messages[0], m);
  EXPECT_FALSE(r.mid_message());
}

TEST(TavmasterFrames, LengthFieldIsCheckedBeforeTheBody) {
  struct Case {
    const char* name;
    uint32_t length;
    size_t piece;
    FrameReader::Status want;
  } cases[] = {
      {"at the bound", 1000, 7, FrameReader::Status::kOk},
      {"one above the bound", 1001, 7, FrameReader::Status::kTooLarge},
      {"one above, length in two pieces", 1001, 2, FrameReader::Status::kTooLarge},
      {"largest length field", 0xffffffffu, 4096, FrameReader::Status::kTooLarge},
      {"header only", 28, 1, FrameReader::Status::kOk},
      {"shorter than a header", 27, 1, FrameReader::Status::kTooShort},
      {"zero", 0, 64, FrameReader::Status::kTooShort},
  };
  for (const auto& c : cases) {
    FrameReader r(1000);
    // Only the length field and a little body: a large length is refused
    // from its 4 bytes, without waiting for (or allocating) the rest.
    std::string head = message(c.length <= 1000 ? c.length : 0, 'z');
    head[0] = static_cast<char>(c.length >> 24);
    head[1] = static_cast<char>(c.length >> 16);
    head[2] = static_cast<char>(c.length >> 8);
    head[3] = static_cast<char>(c.length);
    if (c.length > 1000) head += std::string(64, 'z');
    Fed fed = feed_in_pieces(r, head, c.piece);
    EXPECT_EQ(fed.status, c.want) << c.name;
    EXPECT_EQ(fed.messages.size(), c.want == FrameReader::Status::kOk ? 1u : 0u) << c.name;
    if (c.want != FrameReader::Status::kOk) {
      EXPECT_EQ(r.announced(), c.length) << c.name;
    }
  }
}

TEST(TavmasterFrames, StopsWhenTheCallbackSaysSo) {
  FrameReader r(1 << 20);
  std::string stream = message(28, 'a') + message(28, 'b');
  int calls = 0;
  auto status = r.feed(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(),
                       [&](const uint8_t*, size_t) { return ++calls < 1; });
  EXPECT_EQ(status, FrameReader::Status::kStopped);
  EXPECT_EQ(calls, 1);
}

// --- command line ------------------------------------------------------------

TEST(TavmasterOptions, ValuesAreRangeChecked) {
  struct Case {
    std::vector<std::string> args;
    ParseResult want;
  } cases[] = {
      {{"--port", "65535"}, ParseResult::kRun},
      {{"--port=0"}, ParseResult::kRun},
      {{"--port", "65536"}, ParseResult::kError},
      {{"--port", "-1"}, ParseResult::kError},
      {{"--port", "12x"}, ParseResult::kError},
      {{"--port", ""}, ParseResult::kError},
      {{"--port"}, ParseResult::kError},
      {{"--bind", "127.0.0.2"}, ParseResult::kRun},
      {{"--bind", "localhost"}, ParseResult::kError},
      {{"--poll-ms", "0"}, ParseResult::kRun},
      {{"--poll-ms", "86400001"}, ParseResult::kError},
      {{"--refuse", "00001"}, ParseResult::kRun},
      {{"--refuse", "0001"}, ParseResult::kError},
      {{"--refuse", "00 01"}, ParseResult::kError},
      {{"--max-sessions", "0"}, ParseResult::kError},
      {{"--max-sessions", "10000"}, ParseResult::kRun},
      {{"--max-message", "27"}, ParseResult::kError},
      {{"--max-message", "28"}, ParseResult::kRun},
      {{"--out", ""}, ParseResult::kError},
      {{"--frobnicate", "1"}, ParseResult::kError},
      {{"--help"}, ParseResult::kHelp},
  };
  for (const auto& c : cases) {
    std::vector<char*> argv{const_cast<char*>("tavmaster")};
    for (const auto& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
    Options opt;
    std::string error;
    ParseResult got = parse_options(static_cast<int>(argv.size()), argv.data(), &opt, &error);
    EXPECT_EQ(got, c.want) << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "");
    if (got == ParseResult::kError) {
      EXPECT_FALSE(error.empty()) << c.args[0];
    }
  }
}

TEST(TavmasterOptions, ValuesLandInTheirFields) {
  const char* argv[] = {"tavmaster", "--port", "7001",           "--bind",    "127.0.0.2",
                        "--poll-ms", "250",    "--refuse=E0001", "--out",     "/tmp/o.json",
                        "--max-sessions", "3", "--verbose",      "--ready-file", "/tmp/r"};
  Options opt;
  std::string error;
  ASSERT_EQ(parse_options(15, const_cast<char**>(argv), &opt, &error), ParseResult::kRun) << error;
  EXPECT_EQ(opt.port, 7001);
  EXPECT_EQ(opt.bind, "127.0.0.2");
  EXPECT_EQ(opt.poll_ms, 250);
  EXPECT_EQ(opt.refuse, "E0001");
  EXPECT_EQ(opt.out, "/tmp/o.json");
  EXPECT_EQ(opt.max_sessions, 3);
  EXPECT_TRUE(opt.verbose);
  EXPECT_EQ(opt.ready_file, "/tmp/r");
  Options defaults;
  EXPECT_EQ(defaults.bind, "127.0.0.1");
  EXPECT_EQ(defaults.max_message, 16u << 20);
}

}  // namespace
