// What each probe library exports: exactly its build's overrides, the log
// functions and the log globals, and in the Java builds the adapter's entry
// point and natives (in the WebLogic build also those of the adapter API
// class), in the Tmax build the application interface; everything else stays
// hidden.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

std::set<std::string> exported(const std::string& lib) {
  std::set<std::string> names;
  FILE* p = popen(("nm -D --defined-only " + lib + " 2>/dev/null").c_str(), "r");
  if (!p) return names;
  char line[512];
  while (fgets(line, sizeof line, p)) {
    char addr[64], kind[8], name[256];
    if (sscanf(line, "%63s %7s %255s", addr, kind, name) != 3) continue;
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer's one-definition-rule indicator of each exported
    // variable: the compiler's, not the library's.
    if (std::string(name).starts_with("__odr_asan.")) continue;
#endif
    names.insert(name);
  }
  pclose(p);
  return names;
}

struct Build {
  const char* name;
  std::set<std::string> extra;  // overrides beyond the common socket set
  bool java = false;             // also the adapter's native library
  bool qel_api = false;          // also the natives of the adapter API class
};

void PrintTo(const Build& b, std::ostream* os) { *os << b.name; }

class Exports : public ::testing::TestWithParam<Build> {};

TEST_P(Exports, OverridesLogFunctionsAndNothingElse) {
  const Build& b = GetParam();
  const auto names = exported(std::string(PROBE_LIB_DIR) + "/libprobe-" + b.name + ".so");
  ASSERT_FALSE(names.empty()) << "nm found no symbols";

  std::set<std::string> expected = {"listen", "bind", "accept", "accept4", "connect", "close",
                                    "dup",    "dup2", "dup3",   "read",    "write",   "recv",
                                    "send",   "recvfrom", "sendto", "ioctl", "sendfile", "sendfile64"};
  expected.insert(b.extra.begin(), b.extra.end());
  for (const char* log : {"tav_getctime", "tav_usrlog", "tav_strlog", "tav_scrlog", "tav_gtulog",
                          "tav_hexstr", "tav_hexlog", "tav_quelog", "tav_usrlog94", "tav_scrlog94",
                          "tav_gtulog94", "tav_hexlog94", "tav_quelog94", "en_log", "en_log_level",
                          "en_log_size", "en_log_path", "en_log_file", "en_start_log_path",
                          "en_log_shmkey", "en_log_shmid", "en_log_info", "en_ath_info",
                          // the exclusion table and port registration, for adapters
                          "tav_set_except_port", "tav_is_except_port", "tav_except_port",
                          "tav_except_port_count", "tav_bind_port", "tav_close_port",
                          // transaction boundaries and codes set by the host itself
                          "TAV_GTUID_CREATE_ALONE", "TAV_GTUID_END_ALONE",
                          "TAV_GTUID_CLEAR_ALONE", "TAV_GTUID_GET_TRCODE",
                          "TAV_GTUID_GET_TRCODE2", "TAV_GTUID_GET_TRCODE3"})
    expected.insert(log);
  if (b.java) {
    // The adapter's entry point and natives of class GTUID.
    expected.insert("JNI_OnLoad");
    for (const char* m : {"initMID", "thrSTART", "getCOUNT", "getSIZE", "getTID", "createGTUID",
                          "setGTUID", "setBL", "setSYSTEM", "keepGTUID", "clearGTUID", "procSTART",
                          "procEND", "keepENDSEND", "sendEND", "printGTUID", "setCREATEGTUID",
                          // settings and service-list natives
                          "getLOGMODE", "setLOGMODE", "getLOGLEVEL", "setLOGLEVEL", "getLOGPATH",
                          "setLOGPATH", "getIPINFO", "setIPINFO", "removeIPINFO", "getIPHISTORY",
                          "isSERVICE", "isSERVICEFD", "getMODE", "getKEEPMODE", "setJMSNAME",
                          "setACTION", "getACTION", "setSERVICENAME",
                          // transaction codes, calls by address and server calls
                          "setGTUID2", "setTRCODE", "setTRCODE2", "setTRCODE6", "sendSVR",
                          "recvSVR",
                          // packets and master links
                          "wasMAKE", "connectMASTER", "closeMASTER"})
      expected.insert(std::string("Java_com_wq_tav_adapter_GTUID_") + m);
    expected.insert("Java_com_wq_tav_common_packet_dtc_Packet_putClass");
    for (const char* m : {"tavJNIGet", "tavJNIPut", "tavJNIEnd"})
      expected.insert(std::string("Java_com_wq_tav_api_TAVApi_") + m);
  }
  if (b.qel_api)
    for (const char* m : {"setValue", "getValue"})
      expected.insert(std::string("Java_com_wq_tav_adapter_api_QELInterface_") + m);
  EXPECT_EQ(names, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Builds, Exports,
    ::testing::Values(Build{"jeus",
                            {"readv", "writev", "recvmsg", "sendmsg", "fork", "GTUID_CallStack",
                             "TAV_GTUID_GET_TRCODE99"},
                            true},
                      Build{"weblogic", {"writev", "fork"}, true, true},
                      Build{"tmax",
                            {"recvmsg", "sendmsg",
                             // the application interface of Tmax programs
                             "tav_GTUID_getGTUID", "tav_GTUID_getGTUID_INFO",
                             "tav_GTUID_getGTUID_INFO2", "tav_GTUID_gtuidADDR",
                             "tav_GTUID_setBL"}},
                      Build{"webtob", {"recvmsg", "sendmsg", "open"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
