#include "report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vorl::sim {

std::string formatReport(const ReportHeader& header, const Controller& controller) {
    const Counters& c = controller.counters();
    std::string r;
    auto put = [&r](const char* key, const std::string& value) {
        r += key;
        r += '=';
        r += value;
        r += '\n';
    };
    auto num = [&put](const char* key, int64_t value) { put(key, std::to_string(value)); };

    num("pid", header.pid);
    put("line", header.line);
    num("running", header.running ? 1 : 0);
    put("state", stateName(controller.state()));
    num("bytes_received", c.bytesReceived);
    num("bytes_sent", c.bytesSent);
    num("ignored_bytes", c.ignoredBytes);
    num("downloads", c.downloads);
    num("downloads_completed", c.downloadsCompleted);
    num("program_bytes", c.programBytes);
    num("uploads", c.uploads);
    num("uploads_completed", c.uploadsCompleted);
    num("upload_bytes", c.uploadBytes);
    num("download_start_seen", c.triggersSeen[DownloadStart]);
    num("download_ready_sent", c.triggersSent[DownloadReady]);
    num("download_stop_seen", c.triggersSeen[DownloadStop]);
    num("download_end_sent", c.triggersSent[DownloadEnd]);
    num("upload_start_seen", c.triggersSeen[UploadStart]);
    num("upload_ready_sent", c.triggersSent[UploadReady]);
    num("upload_end_sent", c.triggersSent[UploadEnd]);
    num("upload_stop_seen", c.triggersSeen[UploadStop]);
    num("buffer_level", c.bufferLevel);
    num("buffer_peak", c.bufferPeak);
    num("xoff_sent", c.xoffSent);
    num("xon_sent", c.xonSent);
    num("flow_held", c.flowHeld ? 1 : 0);
    num("after_xoff_max", c.afterXoffMax);
    std::string list;
    for (size_t i = 0; i < c.afterXoff.size(); ++i) {
        if (i > 0)
            list += ',';
        list += std::to_string(c.afterXoff[i]);
    }
    put("after_xoff", list);
    num("overflow", c.overflow);
    num("host_xoff", c.hostXoff);
    num("host_xon", c.hostXon);
    num("host_held", c.hostHeld ? 1 : 0);
    put("answer_pending", controller.answerPending());
    num("requests", c.requests);
    num("request_answers", c.requestAnswers);
    num("request_answer_ms_max", c.requestAnswerMaxMs);
    num("punches", c.punches);
    num("waiting_to_read", c.waitingToRead ? 1 : 0);
    num("read_timeouts", c.readTimeouts);
    num("errors", c.errors);
    put("last_error", c.lastError);
    return r;
}

bool writeFileAtomically(const std::string& path, const std::string& content, std::string& error) {
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write " + tmp + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "cannot write " + tmp + ": " + std::strerror(errno);
            close(fd);
            unlink(tmp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot replace " + path + ": " + std::strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace vorl::sim
