#include "thread_priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::string RaiseThreadPriority() {
    constexpr int kFallbackNice = -5;
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    const int fifoError = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (fifoError == 0) {
        return "";
    }
    // On Linux, setpriority with a thread id changes that thread alone.
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kFallbackNice) == 0) {
        return "";
    }
    const int niceError = errno;
    return std::string("real-time: ") + std::strerror(fifoError) + "; nice " +
           std::to_string(kFallbackNice) + ": " + std::strerror(niceError);
}
