// The service file: which machines `vorl-dnc serve` serves and how. It lies
// beside the machine file, named after it with ".dnc" (shop.vorlcfg ->
// shop.dnc), INI style; the machine file itself stays as it is.
//
//   [service]
//   status_file = /run/vorl-dnc/status     (default: beside, ".dnc-status")
//   log_directory = /var/log/vorl-dnc      (default: beside, "dnc-logs")
//
// Run by systemd, the defaults are the unit's folders instead: the status in
// $RUNTIME_DIRECTORY/status, the logs in $LOGS_DIRECTORY (the machine file's
// folder, /etc/vorl, is not the service's to write).
//   retry_seconds = 5                      a lost line is tried again this often
//   heartbeat_seconds = 10                 the status file is rewritten this often
//
//   [Mill 1]                               a machine of the machine file, by name
//   enabled = yes
//   remote_request = yes
//   request_pattern = \(REQ=([A-Z0-9_.-]+)\)
//   request_lines = 5                      the pattern is looked for in these lines
//   request_file = {name}{ext}             in the machine's download directory
//   request_delay = 2                      seconds before the answer goes out
//   auto_receive = yes
//   receive_file = {name}{ext}             {name}: the program number (O1234)
//   end_silence = 2                        seconds of silence that end a program;
//                                          with an End string only after it
//   end_at_end_string = yes                the End string ends a program at once;
//                                          no for a control whose programs also
//                                          begin with it (then end_silence after it)
//   answer_timeout = 60                    seconds a request's answer waits for the
//                                          control's Ready or End string (0: ever)
//
// Lines starting with # or ; are comments; yes/no, true/false, on/off, 1/0.
#pragma once

#include <string>
#include <vector>

namespace vorl::dnc {

struct LineService {
    std::string machine; // the machine's name in the machine file
    bool enabled = true;
    bool remoteRequest = true;
    std::string requestPattern = R"(\(REQ=([A-Z0-9_.-]+)\))";
    int requestLines = 5;
    std::string requestFile = "{name}{ext}";
    double requestDelaySecs = 2;
    bool autoReceive = true;
    std::string receiveFile = "{name}{ext}";
    double endSilenceSecs = 2;
    bool endAtEndString = true;
    double answerTimeoutSecs = 60;
};

struct ServiceConfig {
    std::string path; // the service file
    std::string statusFile;
    bool statusFileNamed = false; // the file names it (else a default)
    std::string logDirectory;
    double retrySecs = 5;
    double heartbeatSecs = 10;
    std::vector<LineService> lines; // in the file's order
};

// Where the packaged unit's service keeps its status ($RUNTIME_DIRECTORY).
inline constexpr const char* kUnitStatusFile = "/run/vorl-dnc/status";

// The service file of the machine file `configPath`.
std::string ServiceFilePath(const std::string& configPath);

// Reads `path`; the defaults of the status file and log directory are beside
// it, or in the folders systemd gives the service. False and the reasons (one
// a line, with the line's number) in `errors` when anything in it is wrong: a
// service that starts must serve what the file says.
bool ReadServiceConfig(const std::string& path, ServiceConfig& out, std::string& errors);

} // namespace vorl::dnc
