// The NDI call surface with the vendor runtime path: the recording stand-in is found, loaded,
// fed every call and unloaded; an incomplete or missing runtime is refused with one clear line;
// auto falls back to the built-in runtime.
#include "installed_runtime.h"
#include "ndi_dispatch.h"
#include "ndi_sdk.h"
#include "recording_runtime.h"
#include "scoped_env.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

int LineCount(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// No vendor runtime anywhere the loader looks, unless a test points at one.
class VendorLoaderTest : public testing::Test {
protected:
    void SetUp() override {
        env.Clear("NDI_RUNTIME_DIR_V6").Clear("NDI_RUNTIME_DIR_V5").Clear("LIRAFON_NDI_RUNTIME");
    }
    void TearDown() override { NDIlib_destroy(); }
    ScopedEnv env;
};

TEST_F(VendorLoaderTest, ForwardsEveryCallToTheRuntimeFoundThroughTheV6Folder) {
    RecordingRuntime ndi;
    ASSERT_TRUE(NDIlib_initialize());
    EXPECT_EQ(ActiveNdiRuntime(), NdiRuntimeKind::vendor);
    EXPECT_EQ(VendorRuntimePath(), RecordingRuntime::Directory() + "/libndi.so.6");
    EXPECT_TRUE(NDIlib_is_supported_CPU());

    std::string name = "QEL Audio Tone 3";
    NDIlib_send_create_t create{name.c_str(), nullptr, false, true};
    NDIlib_send_instance_t sender = NDIlib_send_create(&create);
    ASSERT_NE(sender, nullptr);
    name = "overwritten after the call";

    std::string text = "<ndi_product long_name=\"x\"/>";
    NDIlib_metadata_frame_t metadata{static_cast<int>(text.size()), NDIlib_send_timecode_synthesize,
                                     text.data()};
    NDIlib_send_add_connection_metadata(sender, &metadata);

    std::vector<uint8_t> pixels(640 * 360 * 4);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<uint8_t>(i * 7);
    }
    NDIlib_video_frame_v2_t video;
    video.xres = 640;
    video.yres = 360;
    video.FourCC = NDIlib_FourCC_video_type_BGRX;
    video.p_data = pixels.data();
    video.line_stride_in_bytes = 2560;
    NDIlib_send_send_video_v2(sender, &video);

    std::vector<float> samples(1920 * 16);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(i) / 65536.0f;
    }
    NDIlib_audio_frame_v2_t audio;
    audio.no_channels = 4;
    audio.no_samples = 1920;
    audio.timecode = 0;
    audio.p_data = samples.data();
    audio.channel_stride_in_bytes = 1920 * 4;
    NDIlib_send_send_audio_v2(sender, &audio);
    std::string version = NDIlib_version();
    NDIlib_send_destroy(sender);
    NDIlib_destroy();

    EXPECT_EQ(ActiveNdiRuntime(), NdiRuntimeKind::none);
    EXPECT_EQ(version, "NDI SDK LINUX recording stand-in 6.0.1");
    EXPECT_EQ(ndi.CallNames(), (std::vector<std::string>{
                                   "NDIlib_initialize", "NDIlib_is_supported_CPU",
                                   "NDIlib_send_create", "NDIlib_send_add_connection_metadata",
                                   "NDIlib_send_send_video_v2", "NDIlib_send_send_audio_v2",
                                   "NDIlib_version", "NDIlib_send_destroy", "NDIlib_destroy"}));
    const auto creates = ndi.SendCreates();
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ(creates[0].name, "QEL Audio Tone 3");
    EXPECT_FALSE(creates[0].hasGroups);
    EXPECT_FALSE(creates[0].settings.clock_video);
    EXPECT_TRUE(creates[0].settings.clock_audio);
    EXPECT_EQ(creates[0].instance, static_cast<const void*>(sender));
    const auto meta = ndi.Metadata();
    ASSERT_EQ(meta.size(), 1u);
    EXPECT_EQ(meta[0].text, text);
    EXPECT_EQ(meta[0].frame.length, static_cast<int>(text.size()));
    const auto frames = ndi.VideoFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].pixels, pixels);
    EXPECT_EQ(frames[0].frame.FourCC, NDIlib_FourCC_video_type_BGRX);
    const auto sent = ndi.AudioFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].frame.no_channels, 4);
    EXPECT_EQ(sent[0].samples, std::vector<float>(samples.begin(), samples.begin() + 4 * 1920));
}

TEST_F(VendorLoaderTest, DestroyUnloadsTheRuntime) {
    const std::string path = RecordingRuntime::Directory() + "/libndi.so.6";
    env.Set("LIRAFON_NDI_RUNTIME", "vendor")
        .Set("NDI_RUNTIME_DIR_V6", RecordingRuntime::Directory());
    ASSERT_TRUE(NDIlib_initialize());
    void* loaded = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(loaded, nullptr);
    dlclose(loaded);
    NDIlib_destroy();
    EXPECT_EQ(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
    EXPECT_EQ(VendorRuntimePath(), "");
}

TEST_F(VendorLoaderTest, FindsTheVersion5RuntimeThroughTheV5Folder) {
    env.Set("LIRAFON_NDI_RUNTIME", "vendor")
        .Set("NDI_RUNTIME_DIR_V5", LIRAFON_RECORDING_NDI_V5_DIR);
    ASSERT_TRUE(NDIlib_initialize());
    EXPECT_EQ(VendorRuntimePath(), std::string(LIRAFON_RECORDING_NDI_V5_DIR) + "/libndi.so.5");
}

TEST_F(VendorLoaderTest, TheV6FolderComesBeforeTheV5Folder) {
    env.Set("LIRAFON_NDI_RUNTIME", "vendor")
        .Set("NDI_RUNTIME_DIR_V6", RecordingRuntime::Directory())
        .Set("NDI_RUNTIME_DIR_V5", LIRAFON_RECORDING_NDI_V5_DIR);
    ASSERT_TRUE(NDIlib_initialize());
    EXPECT_EQ(VendorRuntimePath(), RecordingRuntime::Directory() + "/libndi.so.6");
}

TEST_F(VendorLoaderTest, ARuntimeLackingACallIsRefusedWithOneLineNamingLibraryAndCall) {
    env.Set("LIRAFON_NDI_RUNTIME", "vendor")
        .Set("NDI_RUNTIME_DIR_V6", LIRAFON_RECORDING_NDI_INCOMPLETE_DIR);
    CaptureStderr();
    EXPECT_FALSE(NDIlib_initialize());
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(LineCount(err), 1) << err;
    EXPECT_NE(err.find(std::string(LIRAFON_RECORDING_NDI_INCOMPLETE_DIR) + "/libndi.so.6"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("NDIlib_send_add_connection_metadata"), std::string::npos) << err;
    EXPECT_EQ(ActiveNdiRuntime(), NdiRuntimeKind::none);
    EXPECT_EQ(NDIlib_send_create(nullptr), nullptr);
}

TEST_F(VendorLoaderTest, AutoFallsBackToTheBuiltInRuntimeFromAnIncompleteOne) {
    env.Set("LIRAFON_NDI_RUNTIME", "auto")
        .Set("NDI_RUNTIME_DIR_V6", LIRAFON_RECORDING_NDI_INCOMPLETE_DIR);
    CaptureStderr();
    EXPECT_TRUE(NDIlib_initialize());
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(LineCount(err), 1) << err;
    EXPECT_EQ(ActiveNdiRuntime(), NdiRuntimeKind::builtin);
}

TEST_F(VendorLoaderTest, AutoFallsBackToTheBuiltInRuntimeFromARefusingOne) {
    RecordingRuntime ndi;
    ndi.SetInitializeResult(false);
    env.Set("LIRAFON_NDI_RUNTIME", "auto");
    CaptureStderr();
    EXPECT_TRUE(NDIlib_initialize());
    GetCapturedStderr();
    EXPECT_EQ(ActiveNdiRuntime(), NdiRuntimeKind::builtin);
    EXPECT_EQ(VendorRuntimePath(), "");
}

TEST_F(VendorLoaderTest, VendorWithNothingInstalledFailsWithOneLine) {
    if (SystemHasVendorRuntime()) {
        GTEST_SKIP() << "a vendor NDI runtime is installed on this machine";
    }
    env.Set("LIRAFON_NDI_RUNTIME", "vendor");
    CaptureStderr();
    EXPECT_FALSE(NDIlib_initialize());
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(LineCount(err), 1) << err;
    EXPECT_NE(err.find("libndi.so.6"), std::string::npos) << err;
    EXPECT_EQ(ActiveNdiRuntime(), NdiRuntimeKind::none);
}

TEST_F(VendorLoaderTest, ARefusingRuntimeFailsAndStillAnswersTheProcessorQuestion) {
    RecordingRuntime ndi;
    ndi.SetInitializeResult(false);
    ndi.SetSupportedCpu(false);
    CaptureStderr();
    EXPECT_FALSE(NDIlib_initialize());
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(LineCount(err), 1) << err;
    EXPECT_FALSE(NDIlib_is_supported_CPU());
    EXPECT_EQ(ActiveNdiRuntime(), NdiRuntimeKind::none);
    NDIlib_destroy();
    EXPECT_EQ(ndi.CallNames(),
              (std::vector<std::string>{"NDIlib_initialize", "NDIlib_is_supported_CPU"}));
}

TEST_F(VendorLoaderTest, AFailedSenderCreationGivesNoSender) {
    RecordingRuntime ndi;
    ndi.SetSendCreateFails(true);
    ASSERT_TRUE(NDIlib_initialize());
    NDIlib_send_create_t create{"QEL Audio Tone 1", nullptr, false, true};
    EXPECT_EQ(NDIlib_send_create(&create), nullptr);
    NDIlib_send_destroy(nullptr); // the dispatcher never forwards a null sender
    EXPECT_EQ(ndi.CallNames(),
              (std::vector<std::string>{"NDIlib_initialize", "NDIlib_send_create"}));
}

TEST_F(VendorLoaderTest, AnUnknownRuntimeChoiceFailsWithOneLine) {
    env.Set("LIRAFON_NDI_RUNTIME", "vendr");
    CaptureStderr();
    EXPECT_FALSE(NDIlib_initialize());
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(LineCount(err), 1) << err;
    EXPECT_NE(err.find("LIRAFON_NDI_RUNTIME"), std::string::npos) << err;
    EXPECT_NE(err.find("vendr"), std::string::npos) << err;
}

TEST_F(VendorLoaderTest, BlockingAudioPacesFramesFortyMillisecondsApartAndObservesEach) {
    RecordingRuntime ndi;
    ndi.SetBlockingAudio(true);
    ndi.SetStorePayloads(false);
    std::vector<uint64_t> seen;
    ndi.SetAudioObserver([&](const NDIlib_audio_frame_v2_t& frame, uint64_t index) {
        EXPECT_EQ(frame.no_samples, 1920);
        seen.push_back(index);
    });
    ASSERT_TRUE(NDIlib_initialize());
    NDIlib_send_create_t create{"QEL Audio Tone 1", nullptr, false, true};
    NDIlib_send_instance_t sender = NDIlib_send_create(&create);
    std::vector<float> samples(1920 * 2);
    NDIlib_audio_frame_v2_t audio;
    audio.no_samples = 1920;
    audio.p_data = samples.data();
    audio.channel_stride_in_bytes = 1920 * 4;
    for (int i = 0; i < 3; ++i) {
        NDIlib_send_send_audio_v2(sender, &audio);
    }
    NDIlib_send_destroy(sender);
    ndi.SetAudioObserver(nullptr);
    const auto frames = ndi.AudioFrames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(seen, (std::vector<uint64_t>{0, 1, 2}));
    EXPECT_TRUE(frames[0].samples.empty());
    for (size_t i = 1; i < frames.size(); ++i) {
        const int64_t onTime = frames[i - 1].dueNs + 40'000'000;
        if (frames[i].monotonicNs <= onTime + 40'000'000) {
            EXPECT_EQ(frames[i].dueNs, onTime) << "frame " << i;
        } else {
            // Called more than a frame late (a loaded machine): re-anchored, never bursted.
            EXPECT_EQ(frames[i].dueNs, frames[i].monotonicNs) << "frame " << i;
        }
    }
}

} // namespace
