// Remote operation of the window: the start-up options and the control server act through the
// window's own controls and handlers, in the order a person's clicks would run them, so the
// window, the card, the frames and the session description agree whichever way a change came.
#include "lirafon_dlg.h"

#include "builtin_runtime.h"
#include "instance_link.h"
#include "ndi_dispatch.h"
#include "remote_services.h"
#include "runtime_config.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// dB of a linear amplitude; nullopt for silence.
std::optional<double> Decibels(double amplitude) {
    if (!(amplitude > 0.0)) {
        return std::nullopt;
    }
    return 20.0 * std::log10(amplitude);
}

QJsonValue Rounded(std::optional<double> value) {
    if (!value) {
        return QJsonValue(QJsonValue::Null);
    }
    return std::round(*value * 100.0) / 100.0;
}

} // namespace

void CNDILirafonDlg::ApplySettings(const control::SettingsChange& change) {
    if (change.channels) {
        for (int32_t choice = 0; choice < 4; ++choice) {
            if (m_channelCounts[static_cast<size_t>(choice)] == *change.channels) {
                m_channelGroup->button(choice)->setChecked(true);
                SetChannelCount();
            }
        }
    }
    for (int32_t p = 0; p < kPairCount; ++p) {
        std::optional<bool> wanted =
            change.pairs ? std::optional<bool>((*change.pairs)[p]) : std::nullopt;
        if (change.pairChanges[static_cast<size_t>(p)]) {
            wanted = change.pairChanges[static_cast<size_t>(p)];
        }
        if (wanted && m_pairChecks[static_cast<size_t>(p)]->isChecked() != *wanted) {
            m_pairChecks[static_cast<size_t>(p)]->setChecked(*wanted);
            OnPairBox(p);
        }
    }
    if (change.level) {
        const auto choice = static_cast<int32_t>(change.level->choice);
        if (change.level->choice == control::LevelChoice::user) {
            // Typed into the field and entered, then the user-level radio chosen if it was not.
            m_userLevelEdit->setText(QString::number(change.level->userDbu));
            TakeUserLevelField();
        }
        if (m_levelGroup->checkedId() != choice ||
            change.level->choice != control::LevelChoice::user) {
            m_levelGroup->button(choice)->setChecked(true);
            ApplyLevelChoice();
        }
    }
    if (change.ident) {
        // A surround ident has no radio button of its own: both stereo ones are cleared, and
        // the record keeps the choice until one of them is clicked.
        CheckRadio(m_identGroup, *change.ident);
        m_identChoice = *change.ident;
        BuildIdentSequence();
    }
    if (change.frequency) {
        ApplyFrequencyChoice(*change.frequency);
    }
    if (change.identText || change.showIdentText) {
        // As the ident text dialog: the record takes the text and the box, then the caption is
        // redrawn however the dialog closed.
        if (change.identText) {
            m_identText = *change.identText;
        }
        if (change.showIdentText) {
            m_showIdentText = *change.showIdentText ? 1 : 0;
        }
        if (m_senderStarted != 0) {
            RenderCaption(m_showIdentText != 0 ? m_identText.c_str() : nullptr, 1);
        }
    }
    if (change.fullRateVideo && (m_fullRateVideo != 0) != *change.fullRateVideo) {
        OnWindowCommand(IDM_FULL_RATE_VIDEO);
    }
    if (change.avSync && (m_avSync.load() != 0) != *change.avSync) {
        OnWindowCommand(IDM_AV_SYNC);
    }
    StateChanged();
}

// The frequency menu as a person reaches each choice: a single frequency or plain
// multi-frequency first turns "Sequence 1" off (which itself selects multi-frequency); the
// sequence is "Sequence 1" turned on, or, when it already is, the multi-frequency set chosen
// under it.
void CNDILirafonDlg::ApplyFrequencyChoice(control::FrequencyChoice frequency) {
    auto choose = [this](int id) {
        m_menuResult = id;
        OnFrequencyButton();
    };
    using control::FrequencyChoice;
    if (frequency == FrequencyChoice::sequence) {
        choose(m_sequenceMode != 0 ? ID_MULTI_FREQUENCY : ID_SEQUENCE_1);
        return;
    }
    if (m_sequenceMode != 0) {
        choose(ID_SEQUENCE_1);
        if (frequency == FrequencyChoice::multi) {
            return;
        }
    }
    static constexpr std::pair<FrequencyChoice, int> kItems[] = {
        {FrequencyChoice::hz1000, ID_FREQ_1000},
        {FrequencyChoice::hz400, ID_FREQ_400},
        {FrequencyChoice::hz200, ID_FREQ_200},
        {FrequencyChoice::hz100, ID_FREQ_100},
        {FrequencyChoice::multi, ID_MULTI_FREQUENCY}};
    for (const auto& [choice, id] : kItems) {
        if (choice == frequency) {
            choose(id);
        }
    }
}

void CNDILirafonDlg::ApplyStartupOptions(const control::StartupOptions& options) {
    control::SettingsChange now = options.settings;
    m_startupIdentText = now.identText;
    m_startupShowIdentText = now.showIdentText;
    now.identText.reset();
    now.showIdentText.reset();
    if (!now.Empty()) {
        ApplySettings(now);
    }
    m_startup = options;
}

void CNDILirafonDlg::BeforeNumberedStart() {
    if (m_startupIdentText) {
        m_identText = *m_startupIdentText;
    }
    if (m_startupShowIdentText) {
        m_showIdentText = *m_startupShowIdentText ? 1 : 0;
    }
}

void CNDILirafonDlg::AfterNumberedStart() {
    const bool builtin = ActiveNdiRuntime() == NdiRuntimeKind::builtin;
    if (CRuntimeConfig config; builtin && GetBuiltinRuntimeConfig(&config)) {
        m_wireReferenceGain = config.ReferenceGain();
    }
    if (!m_services) {
        CRemoteServices::Source source;
        source.sender = m_sender;
        source.builtin = builtin;
        source.copy = m_instanceIndex + 1;
        source.channels = [this] {
            return ControlState().value(QStringLiteral("channels")).toInt();
        };
        source.changed = [this] { StateChanged(); };
        m_services = CRemoteServices::Start(m_startup, *this, source);
    }
    StateChanged();
}

void CNDILirafonDlg::StateChanged() {
    if (m_services) {
        m_services->Control().NotifyChanged();
    }
}

void CNDILirafonDlg::TakeUserLevelField() {
    if (m_levelChoice == 2) {
        ApplyLevelChoice();
    } else {
        UpdateData(true);
    }
    SetUserLevelCaption();
}

QJsonObject CNDILirafonDlg::ControlState() {
    QJsonObject state;
    const int32_t choice = std::clamp(m_channelChoice, 0, 3);
    const int32_t channels = m_channelCounts[static_cast<size_t>(choice)];
    state[QStringLiteral("channels")] = channels;
    control::PairMarks marks{};
    for (int32_t p = 0; p < kPairCount; ++p) {
        marks[static_cast<size_t>(p)] = m_pairChecks[static_cast<size_t>(p)]->isChecked();
    }
    state[QStringLiteral("pairs")] = QString::fromStdString(control::FormatPairs(marks));
    control::LevelSetting level{static_cast<control::LevelChoice>(std::clamp(m_levelChoice, 0, 2)),
                                m_userLevelDbu};
    state[QStringLiteral("level")] = QString::fromStdString(control::FormatLevel(level));
    state[QStringLiteral("ident")] = QString::fromStdString(control::FormatIdent(m_identChoice));
    const bool multi = m_toneChannels[0].frequencyHz != 0 &&
                       m_toneChannels[0].frequencyHz != m_toneChannels[1].frequencyHz;
    state[QStringLiteral("frequency")] = m_sequenceMode != 0 ? QStringLiteral("sequence")
                                         : multi             ? QStringLiteral("multi")
                                                             : QString::number(m_frequency);
    state[QStringLiteral("identText")] = QString::fromStdWString(m_identText);
    state[QStringLiteral("showIdentText")] = m_showIdentText != 0;
    state[QStringLiteral("fullRateVideo")] = m_fullRateVideo != 0;
    state[QStringLiteral("avSync")] = m_avSync.load() != 0;

    state[QStringLiteral("copy")] = m_instanceIndex + 1;
    state[QStringLiteral("windowTitle")] = windowTitle();
    state[QStringLiteral("levelLine")] = QString::fromStdWString(m_levelLine);
    state[QStringLiteral("frequencyCaption")] = m_frequencyButton->text().trimmed();
    state[QStringLiteral("userLevelCaption")] = m_userLevelRadio->text().trimmed();
    state[QStringLiteral("userLevelField")] = m_userLevelEdit->text();
    state[QStringLiteral("senderRunning")] = m_senderStarted != 0;
    BuiltinSenderInfo info;
    if (m_senderStarted != 0) {
        state[QStringLiteral("sourceName")] =
            QStringLiteral("QEL Audio Tone %1").arg(m_instanceIndex + 1);
        if (ActiveNdiRuntime() == NdiRuntimeKind::vendor) {
            state[QStringLiteral("runtime")] =
                QStringLiteral("vendor NDI runtime %1").arg(QString::fromUtf8(NDIlib_version()));
        } else if (GetBuiltinSenderInfo(m_sender, &info)) {
            state[QStringLiteral("runtime")] = QStringLiteral("built-in RTP runtime");
            state[QStringLiteral("destination")] = QString::fromStdString(info.destination);
            state[QStringLiteral("audioPort")] = info.audioPort;
            state[QStringLiteral("videoPort")] = info.videoPort;
            // Where an NMOS controller moved or stopped a stream.
            if (info.videoDestination != info.destination) {
                state[QStringLiteral("videoDestination")] =
                    QString::fromStdString(info.videoDestination);
            }
            state[QStringLiteral("audioSending")] = info.enabled[0];
            state[QStringLiteral("videoSending")] = info.enabled[2];
            if (info.secondLeg) {
                // ST 2022-7: the copies on the second leg, each stream movable alone.
                const BuiltinLegInfo& leg = *info.secondLeg;
                QJsonObject second;
                second[QStringLiteral("destination")] = QString::fromStdString(leg.destination);
                second[QStringLiteral("audioPort")] = leg.audioPort;
                if (leg.videoDestination != leg.destination) {
                    second[QStringLiteral("videoDestination")] =
                        QString::fromStdString(leg.videoDestination);
                }
                second[QStringLiteral("videoPort")] = leg.videoPort;
                second[QStringLiteral("audioSending")] = leg.enabled[0];
                second[QStringLiteral("videoSending")] = leg.enabled[2];
                second[QStringLiteral("sourceAddress")] = QString::fromStdString(leg.sourceAddress);
                if (!leg.interfaceName.empty()) {
                    second[QStringLiteral("interface")] = QString::fromStdString(leg.interfaceName);
                }
                BuiltinSenderStats stats;
                if (GetBuiltinSenderStats(m_sender, &stats)) {
                    second[QStringLiteral("packetsRefused")] =
                        static_cast<double>(stats.refusedByLeg[1]);
                    state[QStringLiteral("packetsRefused")] =
                        static_cast<double>(stats.refusedByLeg[0]);
                }
                state[QStringLiteral("secondLeg")] = second;
            }
            state[QStringLiteral("sdpFile")] = QString::fromStdString(info.sdpPath);
            state[QStringLiteral("sapDestination")] = QString::fromStdString(info.sapDestination);
        }
    }
    if (m_services) {
        state[QStringLiteral("controlPanel")] = m_services->Control().PanelAddress();
    }

    // Per channel: whether it carries tone, its frequency and its peak on the wire. 1.0 is
    // +4 dBu; on the wire a sample of 1.0 is m_wireReferenceGain of full scale.
    QJsonArray table;
    const double gain = m_level;
    for (int32_t plane = 0; plane < channels; ++plane) {
        const bool tone = m_sequenceMode != 0 || m_channelEnabled[static_cast<size_t>(plane)] != 0;
        const int32_t hz = m_toneChannels[static_cast<size_t>(plane)].frequencyHz != 0
                               ? m_toneChannels[static_cast<size_t>(plane)].frequencyHz
                               : m_frequency;
        std::optional<double> dbu;
        std::optional<double> dbfs;
        if (tone) {
            dbu = Decibels(gain);
            dbfs = Decibels(gain * m_wireReferenceGain);
        }
        QJsonObject row;
        row[QStringLiteral("channel")] = plane + 1;
        row[QStringLiteral("tone")] = tone;
        row[QStringLiteral("frequencyHz")] = hz;
        row[QStringLiteral("peakDbu")] = Rounded(dbu ? std::optional(*dbu + 4.0) : dbu);
        // The wire clamps at full scale.
        row[QStringLiteral("peakDbfs")] =
            Rounded(dbfs ? std::optional(std::min(*dbfs, 0.0)) : dbfs);
        row[QStringLiteral("clipped")] = dbfs.value_or(-1.0) > 0.0;
        table.append(row);
    }
    state[QStringLiteral("channelTable")] = table;
    // What the table's dBFS are of: the fixed-point stream's reference, or NDI's float scale.
    state[QStringLiteral("wireReference")] =
        ActiveNdiRuntime() == NdiRuntimeKind::builtin
            ? (std::abs(m_wireReferenceGain - 0.1) < 1e-9
                   ? QStringLiteral("the RTP stream's SMPTE reference: +4 dBu = -20 dBFS")
                   : QStringLiteral("the RTP stream's EBU reference: 0 dBu = -18 dBFS"))
            : QStringLiteral("NDI's float scale: +4 dBu = 1.0 (0 dBFS)");
    return state;
}

QImage CNDILirafonDlg::CardPicture() {
    QImage picture(m_videoWidth, m_videoHeight, QImage::Format_RGB32);
    picture.fill(Qt::black);
    std::lock_guard<std::mutex> lock(m_bankLock);
    if (m_videoFrame.p_data != nullptr) {
        for (int32_t y = 0; y < m_videoHeight; ++y) {
            std::memcpy(picture.scanLine(y), m_videoFrame.p_data + y * m_videoWidth * 4,
                        static_cast<size_t>(m_videoWidth) * 4);
        }
    }
    return picture;
}
