#include "e2e_process.h"

#include <dirent.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {
namespace {

std::uint64_t CountDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return 0;
    std::uint64_t count = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count > 0 ? count - 1 : 0;  // less the directory's own descriptor
}

std::uint64_t CountThreads() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return 0;
    char line[256];
    std::uint64_t threads = 0;
    while (std::fgets(line, sizeof(line), status) != nullptr) {
        if (std::strncmp(line, "Threads:", 8) == 0) {
            threads = std::strtoull(line + 8, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return threads;
}

}  // namespace

ProcessUsage ReadUsage() {
    ProcessUsage usage{};
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        unsigned long long size = 0, resident = 0;
        if (std::fscanf(statm, "%llu %llu", &size, &resident) == 2) {
            usage.virtualBytes = size * page;
            usage.residentBytes = resident * page;
        }
        std::fclose(statm);
    }
    usage.descriptors = CountDescriptors();
    usage.threads = CountThreads();
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    usage.cpuSeconds = static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
                       static_cast<double>(self.ru_utime.tv_usec + self.ru_stime.tv_usec) / 1e6;
    usage.contextSwitches = static_cast<std::uint64_t>(self.ru_nvcsw + self.ru_nivcsw);
    return usage;
}

std::uint64_t RaiseDescriptorLimit(std::uint64_t wanted) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur >= wanted) return limit.rlim_cur;
    rlimit raised = limit;
    raised.rlim_cur = wanted;
    if (raised.rlim_max < wanted) raised.rlim_max = wanted;  // root may raise the ceiling
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        raised = limit;
        raised.rlim_cur = limit.rlim_max;  // as far as we may
        setrlimit(RLIMIT_NOFILE, &raised);
    }
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

std::uint64_t DescriptorLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

bool SetDefaultThreadStack(std::uint64_t bytes) {
    if (bytes == 0) return true;
    pthread_attr_t attr;
    if (pthread_getattr_default_np(&attr) != 0) return false;
    const bool ok =
        pthread_attr_setstacksize(&attr, bytes) == 0 && pthread_setattr_default_np(&attr) == 0;
    pthread_attr_destroy(&attr);
    return ok;
}

}  // namespace bench
