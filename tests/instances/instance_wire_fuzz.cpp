// libFuzzer target: any datagram a copy may receive, through the decoder and into the handler.
// Build with clang and -DLIRAFON_BUILD_FUZZ=ON, then run
// build-fuzz/tests/instances/instance_wire_fuzz. The handler runs without a meeting folder, so a
// query's reply goes nowhere.
#include "instance_message.h"
#include "instance_numbering.h"
#include "lirafon_engine.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

class CSilentHost : public CInstanceHost {
public:
    void StartSlotTimer(int32_t, int32_t) override {}
    void StopSlotTimer(int32_t) override {}
    void ShowNumberedTitle(const std::wstring&) override {}
    void CloseWindowAtOnce() override {}
    int32_t StartNumberedSender() override { return 1; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto record = std::make_unique<CLirafonEngine>();
    static CSilentHost host;
    static CInstanceNumbering numbering(*record, host);

    const auto message = CInstanceWire::Decode(data, size);
    if (!message) {
        return 0;
    }
    if (size != CInstanceWire::kSize) {
        __builtin_trap(); // accepted something that is not a datagram of ours
    }
    record->m_slotTaken.fill(0);
    const int32_t indexBefore = record->m_instanceIndex;
    numbering.OnInstanceMessage(message->kind, message->value);
    const bool recordable = message->kind == CInstanceNumbering::kReplyKind &&
                            message->value >= 0 && message->value < CLirafonEngine::kInstanceSlots;
    for (size_t slot = 0; slot < record->m_slotTaken.size(); ++slot) {
        const int32_t want = recordable && static_cast<int64_t>(slot) == message->value ? 1 : 0;
        if (record->m_slotTaken[slot] != want || record->m_instanceIndex != indexBefore) {
            __builtin_trap(); // a message changed what it must not
        }
    }
    return 0;
}
