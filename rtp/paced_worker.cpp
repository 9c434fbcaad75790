#include "paced_worker.h"

#include "frame_pacer.h"

#include <algorithm>
#include <system_error>

bool StartWorker(std::thread* thread, std::function<void()> body, const char* what,
                 std::string* error) {
    try {
        *thread = std::thread(std::move(body));
    } catch (const std::system_error& e) {
        *error = std::string("no ") + what + " thread: " + e.what();
        return false;
    }
    return true;
}

void StopWorker(std::mutex& lock, std::condition_variable& wake, bool& stop, std::thread& thread) {
    {
        std::lock_guard guard(lock);
        stop = true;
    }
    wake.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}

uint64_t SendInGroups(CUdpSocket& socket, const uint8_t* const* packets, const size_t* sizes,
                      int total, int perGroup, int64_t firstDeadlineNs, int64_t groupNs,
                      std::mutex& lock, const bool& stop) {
    uint64_t refused = 0;
    for (int first = 0, group = 0; first < total; first += perGroup, ++group) {
        SleepUntilNs(firstDeadlineNs + group * groupNs);
        const int count = std::min(perGroup, total - first);
        refused +=
            static_cast<uint64_t>(count - socket.SendBatch(packets + first, sizes + first, count));
        std::lock_guard guard(lock);
        if (stop) {
            break;
        }
    }
    return refused;
}
