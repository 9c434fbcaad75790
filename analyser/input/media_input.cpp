#include "media_input.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>

namespace {

// Pictures are measured at this size: a mean luma needs no more, and the flash covers the whole.
constexpr int kLumaWidth = 64;
constexpr int kLumaHeight = 36;

std::string AvError(int code) {
    std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
    av_strerror(code, text.data(), text.size());
    return text.data();
}

class CMediaInput final : public CPcmInput {
public:
    ~CMediaInput() override {
        sws_freeContext(m_scaler);
        av_frame_free(&m_frame);
        av_packet_free(&m_packet);
        avcodec_free_context(&m_audio);
        avcodec_free_context(&m_video);
        avformat_close_input(&m_format);
    }

    double FullScale() const override {
        switch (av_get_packed_sample_fmt(m_audio->sample_fmt)) {
        case AV_SAMPLE_FMT_U8:
            return 127.0 / 128.0;
        case AV_SAMPLE_FMT_S16:
            return FullScaleOfBits(16);
        case AV_SAMPLE_FMT_S32: // 24-bit audio is carried in its top 24 bits
            return FullScaleOfBits(m_audio->bits_per_raw_sample > 16 &&
                                           m_audio->bits_per_raw_sample < 32
                                       ? m_audio->bits_per_raw_sample
                                       : 32);
        case AV_SAMPLE_FMT_S64:
            return 1.0;
        default:
            return 1.0; // float: full scale is 1.0 itself
        }
    }

    bool Open(const std::string& path, std::string* error) {
        int result = avformat_open_input(&m_format, path.c_str(), nullptr, nullptr);
        if (result < 0) {
            *error = path + ": " + AvError(result);
            return false;
        }
        result = avformat_find_stream_info(m_format, nullptr);
        if (result < 0) {
            *error = path + ": " + AvError(result);
            return false;
        }
        m_audioIndex = av_find_best_stream(m_format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        if (m_audioIndex < 0) {
            *error = path + ": no audio stream";
            return false;
        }
        m_videoIndex = av_find_best_stream(m_format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (!OpenDecoder(m_audioIndex, &m_audio, path, error) ||
            (m_videoIndex >= 0 && !OpenDecoder(m_videoIndex, &m_video, path, error))) {
            return false;
        }
        m_channels = m_audio->ch_layout.nb_channels;
        m_rate = m_audio->sample_rate;
        if (m_channels < 1 || m_channels > kMaxInputChannels || m_rate < 8000) {
            *error = path + ": the audio stream has " + std::to_string(m_channels) +
                     " channels at " + std::to_string(m_rate) + " Hz";
            return false;
        }
        m_packet = av_packet_alloc();
        m_frame = av_frame_alloc();
        if (m_packet == nullptr || m_frame == nullptr) {
            *error = "out of memory";
            return false;
        }
        if (m_video != nullptr) {
            const AVStream* stream = m_format->streams[m_videoIndex];
            const char* pixels = av_get_pix_fmt_name(m_video->pix_fmt);
            m_pictureFormat =
                std::to_string(m_video->width) + "x" + std::to_string(m_video->height) + " " +
                (pixels != nullptr ? pixels : "?") + " " + avcodec_get_name(m_video->codec_id) +
                " " + std::to_string(stream->avg_frame_rate.num) + "/" +
                std::to_string(stream->avg_frame_rate.den);
        }
        return true;
    }

    int Channels() const override { return m_channels; }
    int Rate() const override { return m_rate; }
    double AudioStartSeconds() const override { return m_audioStart.value_or(0); }
    std::string PictureFormat() const override { return m_pictureFormat; }

    bool Read(std::vector<double>& out, int maxFrames) override {
        const auto want = static_cast<size_t>(maxFrames) * static_cast<size_t>(m_channels);
        while (m_pending.size() < want && !m_finished) {
            Pump();
        }
        const size_t take = std::min(want, m_pending.size());
        out.insert(out.end(), m_pending.begin(), m_pending.begin() + static_cast<long>(take));
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<long>(take));
        return !(m_finished && m_pending.empty());
    }

    void TakeAudioTimes(std::vector<std::pair<int64_t, double>>& out) override {
        out.insert(out.end(), m_audioTimes.begin(), m_audioTimes.end());
        m_audioTimes.clear();
    }

    void TakePictures(std::vector<PictureObservation>& out) override {
        out.insert(out.end(), m_pictures.begin(), m_pictures.end());
        m_pictures.clear();
    }

private:
    bool OpenDecoder(int index, AVCodecContext** context, const std::string& path,
                     std::string* error) {
        const AVCodecParameters* parameters = m_format->streams[index]->codecpar;
        const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
        *context = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
        if (*context == nullptr || avcodec_parameters_to_context(*context, parameters) < 0) {
            *error = path + ": no decoder for " + avcodec_get_name(parameters->codec_id);
            return false;
        }
        (*context)->thread_count = 0; // as many as the machine has
        const int result = avcodec_open2(*context, codec, nullptr);
        if (result < 0) {
            *error = path + ": " + avcodec_get_name(parameters->codec_id) + ": " + AvError(result);
            return false;
        }
        return true;
    }

    // One packet through its decoder; at the end of the file, the decoders drained.
    void Pump() {
        const int result = av_read_frame(m_format, m_packet);
        if (result < 0) {
            Decode(m_audio, nullptr, m_audioIndex);
            if (m_video != nullptr) {
                Decode(m_video, nullptr, m_videoIndex);
            }
            m_finished = true;
            return;
        }
        if (m_packet->stream_index == m_audioIndex) {
            Decode(m_audio, m_packet, m_audioIndex);
        } else if (m_packet->stream_index == m_videoIndex && m_video != nullptr) {
            Decode(m_video, m_packet, m_videoIndex);
        }
        av_packet_unref(m_packet);
    }

    void Decode(AVCodecContext* decoder, const AVPacket* packet, int index) {
        if (avcodec_send_packet(decoder, packet) < 0 && packet != nullptr) {
            return; // a damaged packet: the decoder goes on with the next
        }
        const double timeBase = av_q2d(m_format->streams[index]->time_base);
        while (avcodec_receive_frame(decoder, m_frame) >= 0) {
            const int64_t pts = m_frame->best_effort_timestamp;
            const double seconds = pts == AV_NOPTS_VALUE ? 0 : static_cast<double>(pts) * timeBase;
            if (decoder == m_audio) {
                if (!m_audioStart) {
                    m_audioStart = seconds;
                }
                if (pts != AV_NOPTS_VALUE) {
                    m_audioTimes.emplace_back(m_samplesTaken, seconds);
                }
                TakeAudio();
            } else {
                TakeLuma(seconds);
            }
            av_frame_unref(m_frame);
        }
    }

    void TakeAudio() {
        const int channels = m_frame->ch_layout.nb_channels;
        if (channels != m_channels) {
            return; // a layout change mid-file: not this stream's channels
        }
        const auto format = static_cast<AVSampleFormat>(m_frame->format);
        const bool planar = av_sample_fmt_is_planar(format) != 0;
        const AVSampleFormat packed = av_get_packed_sample_fmt(format);
        const int bytes = av_get_bytes_per_sample(format);
        for (int i = 0; i < m_frame->nb_samples; ++i) {
            for (int c = 0; c < channels; ++c) {
                const uint8_t* p = planar
                                       ? m_frame->extended_data[c] + static_cast<size_t>(i) * bytes
                                       : m_frame->extended_data[0] +
                                             (static_cast<size_t>(i) * channels + c) * bytes;
                m_pending.push_back(Sample(packed, p));
            }
        }
        m_samplesTaken += m_frame->nb_samples;
    }

    static double Sample(AVSampleFormat packed, const uint8_t* p) {
        switch (packed) {
        case AV_SAMPLE_FMT_U8:
            return (static_cast<double>(*p) - 128.0) / 128.0;
        case AV_SAMPLE_FMT_S16: {
            int16_t v = 0;
            std::memcpy(&v, p, sizeof v);
            return v / 32768.0;
        }
        case AV_SAMPLE_FMT_S32: {
            int32_t v = 0;
            std::memcpy(&v, p, sizeof v);
            return v / 2147483648.0;
        }
        case AV_SAMPLE_FMT_S64: {
            int64_t v = 0;
            std::memcpy(&v, p, sizeof v);
            return static_cast<double>(v) / 9223372036854775808.0;
        }
        case AV_SAMPLE_FMT_FLT: {
            float v = 0;
            std::memcpy(&v, p, sizeof v);
            return v;
        }
        case AV_SAMPLE_FMT_DBL: {
            double v = 0;
            std::memcpy(&v, p, sizeof v);
            return v;
        }
        default:
            return 0;
        }
    }

    void TakeLuma(double seconds) {
        m_scaler = sws_getCachedContext(
            m_scaler, m_frame->width, m_frame->height, static_cast<AVPixelFormat>(m_frame->format),
            kLumaWidth, kLumaHeight, AV_PIX_FMT_GRAY8, SWS_AREA, nullptr, nullptr, nullptr);
        if (m_scaler == nullptr) {
            return;
        }
        std::array<uint8_t, kLumaWidth * kLumaHeight> gray{};
        uint8_t* planes[4] = {gray.data(), nullptr, nullptr, nullptr};
        const int strides[4] = {kLumaWidth, 0, 0, 0};
        if (sws_scale(m_scaler, m_frame->data, m_frame->linesize, 0, m_frame->height, planes,
                      strides) != kLumaHeight) {
            return;
        }
        uint64_t sum = 0;
        for (const uint8_t v : gray) {
            sum += v;
        }
        m_pictures.push_back({seconds, static_cast<double>(sum) / (gray.size() * 255.0), {}});
    }

    AVFormatContext* m_format = nullptr;
    AVCodecContext* m_audio = nullptr;
    AVCodecContext* m_video = nullptr;
    AVPacket* m_packet = nullptr;
    AVFrame* m_frame = nullptr;
    SwsContext* m_scaler = nullptr;
    int m_audioIndex = -1;
    int m_videoIndex = -1;
    int m_channels = 0;
    int m_rate = 0;
    bool m_finished = false;
    std::optional<double> m_audioStart;
    std::deque<double> m_pending;
    std::vector<PictureObservation> m_pictures;
    std::vector<std::pair<int64_t, double>> m_audioTimes;
    int64_t m_samplesTaken = 0;
    std::string m_pictureFormat;
};

} // namespace

std::unique_ptr<CPcmInput> OpenMedia(const std::string& path, std::string* error) {
    av_log_set_level(AV_LOG_ERROR);
    auto input = std::make_unique<CMediaInput>();
    if (!input->Open(path, error)) {
        return nullptr;
    }
    return input;
}
