// Sender setup and teardown. StartSender turns the numbered copy into a running source: sender and
// connection metadata, the ident card and its first picture, the 16 audio frames, the bottom
// caption, the tone tables, the frames' samples, then the send thread. Every heap block is taken
// here, before the loop runs, so the loop itself never allocates.
//
// Settings the operator changed before the sender existed live in the record and are applied
// here rather than overwritten: a frequency choice already built into the tables is kept, every
// frame is filled for the mode in force (in the normal modes frames 3 to 15 are silence either
// way, and in sequence mode they are the planes the loop will play), and the centre of the card
// shows the level in force, which m_levelLine names.
//
// A failure part way through releases everything acquired so far, the sender included, so the
// record is left exactly as before the call and the exit path has nothing to release.
#include "lirafon_sender.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <system_error>

namespace {

constexpr const char* kSourceNameFormat = "QEL Audio Tone %d";
// The vendor runtime limits source names to 31 characters.
constexpr size_t kSourceNameBytes = 32;
constexpr int kPictureRateN = 30000;
constexpr int kPictureRateD = 1200; // 25 pictures per second
constexpr float kPictureAspect = 16.0f / 9.0f;
constexpr size_t kMetadataAttributeGap = 14;

// The product description offered to every receiver that connects: one self-closing element on
// one line, attributes in this order, 14 spaces between them, "/>" straight after the last.
std::string ProductMetadata() {
    static constexpr const char* kAttributes[][2] = {
        {"long_name", "QEL EBU-style stereo tone"},
        {"short_name", "QEL Lirafon"},
        {"manufacturer", "QEL"},
        {"version", "1.046.000"},
        {"session", "default"},
        {"model_name", "Q1"},
        {"serial", "00001"},
    };
    std::string text = "<ndi_product ";
    bool first = true;
    for (const auto& attribute : kAttributes) {
        if (!first) {
            text.append(kMetadataAttributeGap, ' ');
        }
        first = false;
        text += attribute[0];
        text += "=\"";
        text += attribute[1];
        text += '"';
    }
    text += "/>";
    return text;
}

} // namespace

CLirafonSender::~CLirafonSender() {
    StopSender();
}

void* CLirafonSender::AllocateBlock(size_t bytes) {
    return std::calloc(1, bytes);
}

size_t CLirafonSender::PictureBytes() const {
    return static_cast<size_t>(m_videoWidth) * static_cast<size_t>(m_videoHeight) * kBytesPerPixel;
}

// The filler writes every one of the 16 planes, whatever no_channels says.
size_t CLirafonSender::FrameSampleBytes() const {
    return static_cast<size_t>(m_samplesPerFrame) * kMaxPlanes * sizeof(float);
}

int CLirafonSender::StartSender() {
    if (m_sender != nullptr || m_sendThread.joinable()) {
        return 0; // already running: a second sender would orphan the first
    }
    char name[kSourceNameBytes];
    std::snprintf(name, sizeof name, kSourceNameFormat, m_instanceIndex + 1);
    NDIlib_send_create_t create;
    create.p_ndi_name = name;
    create.p_groups = nullptr;
    create.clock_video = false;
    create.clock_audio = true; // the audio call paces the loop: nothing else keeps time
    m_sender = NDIlib_send_create(&create);
    if (m_sender == nullptr) {
        return 0;
    }

    std::string text = ProductMetadata();
    NDIlib_metadata_frame_t metadata;
    metadata.length = static_cast<int>(text.size());
    metadata.timecode = NDIlib_send_timecode_synthesize;
    metadata.p_data = text.data();
    NDIlib_send_add_connection_metadata(m_sender, &metadata);

    if (!CreatePicture()) {
        ReleaseSender();
        return 0;
    }
    DrawFirstPicture();
    SendPictureCopy(m_uiVideo);

    if (!CreateAudioFrames()) {
        ReleaseSender();
        return 0;
    }
    RenderCaption(m_showIdentText != 0 ? m_identText.c_str() : nullptr, 1);
    BuildTablesUnlessChosen();
    RefillAllFrames();

    if (!StartSendThread()) {
        ReleaseSender();
        return 0;
    }
    return 1;
}

bool CLirafonSender::CreatePicture() {
    const size_t bytes = PictureBytes();
    auto* pixels = static_cast<uint8_t*>(AllocateBlock(bytes));
    if (pixels == nullptr) {
        return false;
    }
    m_videoFrame.p_data = pixels;
    m_videoFrame.xres = m_videoWidth;
    m_videoFrame.yres = m_videoHeight;
    m_videoFrame.FourCC = NDIlib_FourCC_video_type_BGRX;
    m_videoFrame.frame_rate_N = kPictureRateN;
    m_videoFrame.frame_rate_D = kPictureRateD;
    m_videoFrame.picture_aspect_ratio = kPictureAspect;
    m_videoFrame.frame_format_type = NDIlib_frame_format_type_progressive;
    m_videoFrame.timecode = NDIlib_send_timecode_synthesize;
    m_videoFrame.line_stride_in_bytes = m_videoWidth * kBytesPerPixel;
    m_videoFrame.p_metadata = nullptr;
    m_videoFrame.timestamp = 0;

    // The loop's and the user-interface thread's copies carry the same record values, and so does
    // the A/V sync mode's black picture.
    for (NDIlib_video_frame_v2_t* copy : {&m_loopVideo, &m_uiVideo, &m_loopFlash}) {
        *copy = m_videoFrame;
        copy->p_data = static_cast<uint8_t*>(AllocateBlock(bytes));
        if (copy->p_data == nullptr) {
            return false;
        }
    }
    // Black, the fourth byte 255 as in the card: the marker survives scaling, compression and
    // colour conversion as a picture far darker than the card (mean luma 0 against about 0.4).
    for (size_t at = 3; at < bytes; at += kBytesPerPixel) {
        m_loopFlash.p_data[at] = 255;
    }
    return true;
}

// The card with the logo; a level other than EBU chosen before the sender existed puts its
// caption over the logo, as applying it would have. The bottom caption comes later, so this
// first picture carries none.
void CLirafonSender::DrawFirstPicture() {
    DrawTestCard(m_videoFrame.p_data);
    DrawLogo();
    if (const wchar_t* surround = PlayingSurroundName()) {
        RenderCaption(surround, 0); // a surround ident chosen at start names itself
    } else if (m_levelLine == kSmpteLevelLine) {
        RenderCaption(kSmpteCaption, 0);
    } else if (m_levelLine != kEbuLevelLine) {
        RenderCaption(m_levelLine.c_str(), 0);
    }
    if (m_avSync.load() != 0) {
        DrawCentre(); // the mode chosen at start names itself too
    }
}

bool CLirafonSender::CreateAudioFrames() {
    const size_t sampleBytes = FrameSampleBytes();
    const int32_t choice = m_channelChoice;
    const int32_t channels = (choice >= 0 && choice < 4) ? m_channelCounts[choice] : 2;
    auto shape = [&](NDIlib_audio_frame_v2_t& frame, float* samples) {
        frame.sample_rate = m_sampleRate;
        frame.no_channels = channels;
        frame.no_samples = m_samplesPerFrame;
        frame.timecode = 0;
        frame.p_data = samples; // zero-filled: silence until the fill
        frame.channel_stride_in_bytes = m_samplesPerFrame * static_cast<int>(sizeof(float));
        frame.p_metadata = nullptr;
        frame.timestamp = 0;
    };
    for (int32_t k = 0; k < kFrameCount; ++k) {
        void* record = AllocateBlock(sizeof(NDIlib_audio_frame_v2_t));
        if (record == nullptr) {
            return false;
        }
        auto* samples = static_cast<float*>(AllocateBlock(sampleBytes));
        if (samples == nullptr) {
            std::free(record);
            return false;
        }
        auto* frame = new (record) NDIlib_audio_frame_v2_t;
        shape(*frame, samples);
        m_audioFrames[k] = frame;
    }
    auto* loopSamples = static_cast<float*>(AllocateBlock(sampleBytes));
    if (loopSamples == nullptr) {
        return false;
    }
    shape(m_loopAudio, loopSamples);
    return true;
}

// SelectFrequency and SelectMultiFrequency build all 16 tables, so tables present at start come
// from the operator's choice (a single frequency, the multi-frequency set, or sequence mode) and
// are kept. Otherwise every plane gets m_frequency, 1000 Hz unless chosen otherwise.
void CLirafonSender::BuildTablesUnlessChosen() {
    for (const ToneChannel& tone : m_toneChannels) {
        if (tone.frequencyHz == 0) {
            for (int32_t plane = 0; plane < kMaxPlanes; ++plane) {
                BuildToneTable(m_frequency, plane);
            }
            return;
        }
    }
}

bool CLirafonSender::StartSendThread() {
    try {
        m_sendThread = std::thread(SendLoop, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CLirafonSender::StopSendLoop() {
    m_running = 0;
    if (m_sendThread.joinable()) {
        m_sendThread.join();
    }
}

// Frames (samples, then record), then the pixel block, then the sender: the order the exit path
// releases them in. The send thread is joined first, since it reads all of them.
void CLirafonSender::StopSender() {
    StopSendLoop();
    ReleaseSender();
    m_senderStarted = 0;
}

void CLirafonSender::ReleaseSender() {
    ReleaseBlocks();
    if (m_sender != nullptr) {
        NDIlib_send_destroy(m_sender);
        m_sender = nullptr;
    }
}

void CLirafonSender::ReleaseBlocks() {
    for (auto*& frame : m_audioFrames) {
        if (frame != nullptr) {
            std::free(frame->p_data);
            std::free(frame);
            frame = nullptr;
        }
    }
    for (NDIlib_video_frame_v2_t* picture :
         {&m_videoFrame, &m_loopVideo, &m_uiVideo, &m_loopFlash}) {
        std::free(picture->p_data);
        picture->p_data = nullptr;
    }
    std::free(m_loopAudio.p_data);
    m_loopAudio.p_data = nullptr;
}

void CLirafonSender::SendPictureNow() {
    // In the A/V sync mode the loop sends a picture with every tick, the changed one within 40 ms;
    // one sent from here would stand between two ticks and blur the flash cadence.
    if (m_sender != nullptr && m_uiVideo.p_data != nullptr && m_avSync.load() == 0) {
        SendPictureCopy(m_uiVideo);
    }
}

void CLirafonSender::SendPictureCopy(NDIlib_video_frame_v2_t& copy) {
    CopyPicture(copy);
    NDIlib_send_send_video_v2(m_sender, &copy);
}

// The copy's own record gives the size, so the send thread reads no field the user-interface
// thread owns.
void CLirafonSender::CopyPicture(NDIlib_video_frame_v2_t& copy) {
    const size_t bytes =
        static_cast<size_t>(copy.line_stride_in_bytes) * static_cast<size_t>(copy.yres);
    std::lock_guard<std::mutex> lock(m_bankLock);
    std::memcpy(copy.p_data, m_videoFrame.p_data, bytes);
}
