#pragma once
// A disk that fills up, for tests: lowers this process's file size limit so that writes beyond it
// fail the way they fail on a full disk (a short write, then an error), without needing root to
// mount a small file system. SIGXFSZ is ignored meanwhile, so the write returns EFBIG instead.
#include <csignal>
#include <sys/resource.h>

namespace vellumix::test {

class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*previous_)(int) = nullptr;
};

} // namespace vellumix::test
