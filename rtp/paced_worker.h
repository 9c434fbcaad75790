// What the runtime's sending threads share: starting a thread without exceptions reaching the
// caller, stopping it in the one order (flag under the lock, wake, join), and sending a block of
// packets in groups at absolute CLOCK_MONOTONIC deadlines.
#pragma once

#include "udp_socket.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// Starts body on *thread; false with "no <what> thread: ..." in *error when the system refuses.
bool StartWorker(std::thread* thread, std::function<void()> body, const char* what,
                 std::string* error);
// Sets stop under lock, wakes the worker and joins it. Idempotent.
void StopWorker(std::mutex& lock, std::condition_variable& wake, bool& stop, std::thread& thread);

// Sends total packets, perGroup at a time, group g at firstDeadlineNs + g * groupNs. Checks stop
// (under lock) after each group and ends early when it is set. Returns how many the socket
// refused.
uint64_t SendInGroups(CUdpSocket& socket, const uint8_t* const* packets, const size_t* sizes,
                      int total, int perGroup, int64_t firstDeadlineNs, int64_t groupNs,
                      std::mutex& lock, const bool& stop);
