// Remote operation of the window: settings given remotely leave the window, record, frames and
// card exactly as the same clicks do; the control server's API, its WebSocket push and its guards,
// on real sockets on 127.0.0.1 (ephemeral ports).
#include "http_client.h"
#include "window_fixture.h"

#include <QAction>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QSignalSpy>
#include <QWebSocket>

#include <random>
#include <sstream>

namespace {

constexpr int kWaitMs = 10000;

class RemoteTest : public WindowTest {
protected:
    // The window as the program opens it, with its control server on a free port.
    void OpenWithServer(const std::string& token = "") {
        control::StartupOptions options;
        options.control.basePort = 0;
        options.control.token = token;
        OpenWindow(true, &options);
        ASSERT_NE(m_window->RemoteControl(), nullptr);
        m_port = m_window->RemoteControl()->Port();
    }

    HttpAnswer Send(const std::string& method, const std::string& path,
                    const std::string& headers = "", const std::string& body = "") {
        const std::string request = HttpRequestText(method, path, m_port, headers, body);
        return OffThread([this, request] { return HttpExchange(m_port, request); });
    }
    HttpAnswer Patch(const std::string& json, const std::string& headers = "") {
        return Send("PATCH", "/api/settings", "Content-Type: application/json\r\n" + headers, json);
    }
    QJsonObject State() {
        return QJsonDocument::fromJson(QByteArray::fromStdString(Send("GET", "/api/state").body))
            .object();
    }

    void ChooseFrequencyItem(int id) {
        for (QAction* action : m_window->FrequencyMenu()->actions()) {
            if (action->data().toInt() == id) {
                action->trigger();
            }
        }
    }

    // Everything a change can touch: record, controls, frames and picture.
    std::string Snapshot() const {
        std::ostringstream out;
        const CNDILirafonDlg& w = *m_window;
        out << "enabled " << EnabledChannels(w) << " choice " << w.m_channelChoice << " level "
            << w.m_levelChoice << " " << w.m_level << " user " << w.m_userLevelDbu << " ident "
            << w.m_identChoice << " seq " << w.m_sequenceMode << " " << w.m_sequenceCycle
            << " freq " << w.m_frequency << " full " << w.m_fullRateVideo << "\nslots";
        for (const int32_t slot : w.m_identSequence) {
            out << " " << slot;
        }
        out << "\ntables";
        for (const ToneChannel& tone : w.m_toneChannels) {
            out << " " << tone.frequencyHz;
        }
        out << "\ncontrols";
        for (const int id :
             {CNDILirafonDlg::IDC_CH2, CNDILirafonDlg::IDC_CH4, CNDILirafonDlg::IDC_CH8,
              CNDILirafonDlg::IDC_CH16, CNDILirafonDlg::IDC_LEVEL_EBU,
              CNDILirafonDlg::IDC_LEVEL_SMPTE, CNDILirafonDlg::IDC_LEVEL_USER,
              CNDILirafonDlg::IDC_NORMAL_ID, CNDILirafonDlg::IDC_GLITS}) {
            const auto* radio = qobject_cast<QRadioButton*>(w.Control(id));
            out << " " << radio->isChecked() << ":" << radio->text().toStdString();
        }
        for (int p = 0; p < 8; ++p) {
            out << " " << Pair(p)->isChecked() << Pair(p)->isEnabled();
        }
        out << " [" << LevelLine().toStdString() << "] ["
            << w.m_frequencyButton->text().toStdString() << "] ["
            << LevelField()->text().toStdString() << "]";
        std::lock_guard<std::mutex> lock(w.m_bankLock);
        std::hash<std::string_view> hash;
        for (const auto* frame : w.m_audioFrames) {
            out << " " << frame->no_channels << ":"
                << hash(std::string_view(reinterpret_cast<const char*>(frame->p_data),
                                         sizeof(float) * 16 * 1920));
        }
        out << " picture "
            << hash(std::string_view(reinterpret_cast<const char*>(w.m_videoFrame.p_data),
                                     640 * 360 * 4));
        return out.str();
    }

    int m_port = 0;
};

} // namespace

// The same settings by clicks and remotely give the same window, record, frames and card.
TEST_F(RemoteTest, SettingsActExactlyAsTheSameClicks) {
    OpenWindow();

    Click(Radio(CNDILirafonDlg::IDC_CH16));
    for (int p = 1; p < 8; ++p) {
        Click(Pair(p));
    }
    Click(Radio(CNDILirafonDlg::IDC_LEVEL_SMPTE));
    Click(Radio(CNDILirafonDlg::IDC_GLITS));
    ChooseFrequencyItem(CNDILirafonDlg::ID_SEQUENCE_1);
    const std::string byClicks = Snapshot();

    // Back by clicks, then the same settings remotely.
    for (int p = 1; p < 8; ++p) {
        Click(Pair(p));
    }
    Click(Radio(CNDILirafonDlg::IDC_CH8));
    Click(Radio(CNDILirafonDlg::IDC_LEVEL_EBU));
    Click(Radio(CNDILirafonDlg::IDC_NORMAL_ID));
    ChooseFrequencyItem(CNDILirafonDlg::ID_SEQUENCE_1);
    ChooseFrequencyItem(CNDILirafonDlg::ID_FREQ_1000);

    control::SettingsChange change;
    change.channels = 16;
    change.pairs = control::PairMarks{true, true, true, true, true, true, true, true};
    change.level = control::LevelSetting{control::LevelChoice::smpte, 0};
    change.ident = 1;
    change.frequency = control::FrequencyChoice::sequence;
    m_window->ApplySettings(change);
    EXPECT_EQ(Snapshot(), byClicks);

    // A user level: typed, entered, then chosen.
    TypeLevel(QStringLiteral("6"));
    PressKey(Qt::Key_Return);
    Click(Radio(CNDILirafonDlg::IDC_LEVEL_USER));
    const std::string userByClicks = Snapshot();
    Click(Radio(CNDILirafonDlg::IDC_LEVEL_SMPTE));
    TypeLevel(QStringLiteral("16"));
    PressKey(Qt::Key_Return);
    change = {};
    change.level = control::LevelSetting{control::LevelChoice::user, 6};
    m_window->ApplySettings(change);
    EXPECT_EQ(Snapshot(), userByClicks);

    // A single frequency out of the sequence: Sequence 1 off, then the frequency.
    change = {};
    change.frequency = control::FrequencyChoice::hz400;
    m_window->ApplySettings(change);
    EXPECT_EQ(m_window->m_sequenceMode, 0);
    EXPECT_EQ(m_window->m_toneChannels[15].frequencyHz, 400);
    EXPECT_EQ(m_window->m_frequencyButton->text(), QStringLiteral(" 400 Hz"));
}

// The start-up ident text replaces the numbered default from the first picture on.
TEST_F(RemoteTest, StartupIdentTextIsInTheFirstPicture) {
    control::StartupOptions options;
    options.settings.identText = L"Studio 4";
    options.settings.channels = 2;
    options.control.basePort = std::nullopt;
    OpenWindow(true, &options);
    EXPECT_EQ(m_window->m_identText, L"Studio 4");
    EXPECT_TRUE(Radio(CNDILirafonDlg::IDC_CH2)->isChecked());
    EXPECT_EQ(m_window->m_audioFrames[0]->no_channels, 2);
    EXPECT_EQ(m_window->RemoteControl(), nullptr) << "no server when it is off";
}

TEST_F(RemoteTest, ApiChangesAllOrNothingAndEveryClientFollows) {
    OpenWithServer();
    const QString wsAddress = QStringLiteral("ws://127.0.0.1:%1/ws").arg(m_port);
    QWebSocket first;
    QWebSocket second;
    QSignalSpy firstMessages(&first, &QWebSocket::textMessageReceived);
    QSignalSpy secondMessages(&second, &QWebSocket::textMessageReceived);
    first.open(QUrl(wsAddress));
    second.open(QUrl(wsAddress));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !firstMessages.empty() && !secondMessages.empty(); },
                                kWaitMs));
    firstMessages.clear();
    secondMessages.clear();

    QJsonObject state = State();
    EXPECT_EQ(state["channels"].toInt(), 8);
    EXPECT_EQ(state["pairs"].toString(), "1-2");
    EXPECT_EQ(state["level"].toString(), "ebu");
    EXPECT_EQ(state["frequency"].toString(), "1000");
    EXPECT_EQ(state["levelLine"].toString(), LevelLine());
    EXPECT_EQ(state["channelTable"].toArray().size(), 8);
    EXPECT_DOUBLE_EQ(state["channelTable"][0]["peakDbu"].toDouble(), 0.0);
    EXPECT_TRUE(state["channelTable"][2]["peakDbu"].isNull()) << "pair 3-4 carries no tone";

    const std::string before = Snapshot();
    HttpAnswer answer = Patch(R"({"channels": 16, "level": "+600"})");
    EXPECT_EQ(answer.status, 400);
    EXPECT_NE(answer.body.find("level: '+600' is not accepted"), std::string::npos) << answer.body;
    answer = Patch(R"({"channels": 16, "speed": 2})");
    EXPECT_EQ(answer.status, 400);
    EXPECT_EQ(Patch("[1, 2]").status, 400);
    EXPECT_EQ(Patch(R"({"showIdentText": "yes"})").status, 400);
    EXPECT_EQ(Snapshot(), before) << "a refused change changes nothing";

    answer = Patch(R"({"channels": 16, "pairs": "1-2,9-10", "level": -10, "ident": "glits"})");
    ASSERT_EQ(answer.status, 200) << answer.body;
    state = QJsonDocument::fromJson(QByteArray::fromStdString(answer.body)).object();
    EXPECT_EQ(state["channels"].toInt(), 16);
    EXPECT_EQ(state["pairs"].toString(), "1-2,9-10");
    EXPECT_EQ(state["level"].toString(), "-10");
    EXPECT_DOUBLE_EQ(state["channelTable"][8]["peakDbu"].toDouble(), -10.0);
    EXPECT_DOUBLE_EQ(state["channelTable"][8]["peakDbfs"].toDouble(), -34.0);
    // The window shows it at once, through its own controls.
    EXPECT_TRUE(Radio(CNDILirafonDlg::IDC_CH16)->isChecked());
    EXPECT_TRUE(Pair(4)->isChecked() && Pair(4)->isEnabled());
    EXPECT_TRUE(Radio(CNDILirafonDlg::IDC_LEVEL_USER)->isChecked());
    EXPECT_EQ(LevelLine(), QStringLiteral("User-specified NDI Tone at -10 dBu"));
    EXPECT_EQ(m_window->m_identChoice, 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !firstMessages.empty() && !secondMessages.empty(); },
                                kWaitMs));
    auto last = [](QSignalSpy& spy) {
        return QJsonDocument::fromJson(spy.last().first().toString().toUtf8()).object();
    };
    EXPECT_EQ(last(firstMessages)["ident"].toString(), "glits");

    // A click in the window reaches both clients too.
    Click(Radio(CNDILirafonDlg::IDC_NORMAL_ID));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return last(firstMessages)["ident"] == "ebu" && last(secondMessages)["ident"] == "ebu";
        },
        kWaitMs));

    // A surround ident: no radio of its own, so neither stereo one stays checked; a channel
    // count that cannot carry it is refused, naming why, and changes nothing.
    answer = Patch(R"({"ident": "blits"})");
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(m_window->m_identChoice, CLirafonEngine::kIdentBlits);
    EXPECT_FALSE(Radio(CNDILirafonDlg::IDC_NORMAL_ID)->isChecked() ||
                 Radio(CNDILirafonDlg::IDC_GLITS)->isChecked());
    const std::string surround = Snapshot();
    answer = Patch(R"({"channels": 4})");
    EXPECT_EQ(answer.status, 400);
    EXPECT_NE(answer.body.find("channels: blits is a 5.1 ident and needs 6 channels; 4 cannot"),
              std::string::npos)
        << answer.body;
    EXPECT_EQ(Snapshot(), surround);
    answer = Patch(R"({"channels": 2, "ident": "ebu-surround"})");
    EXPECT_EQ(answer.status, 400);
    EXPECT_NE(answer.body.find("ident: ebu-surround is a 5.1 ident"), std::string::npos);
    Click(Radio(CNDILirafonDlg::IDC_NORMAL_ID));
    EXPECT_EQ(m_window->m_identChoice, 0);

    answer = Send("GET", "/card.png");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body.substr(1, 3), "PNG");
    EXPECT_EQ(Send("GET", "/").status, 200);
    EXPECT_EQ(Send("GET", "/nothing").status, 404);
    EXPECT_EQ(Send("DELETE", "/api/state").status, 405);
}

// What a foreign page can make a browser send, and a DNS-rebinding name: refused, nothing changed.
TEST_F(RemoteTest, ForeignPagesAndWrongHostsChangeNothing) {
    OpenWithServer();
    const std::string before = Snapshot();
    const std::string foreign = "Origin: http://127.0.0.1:" + std::to_string(m_port + 1) + "\r\n";
    EXPECT_EQ(Patch(R"({"channels": 2})", foreign).status, 403);
    EXPECT_EQ(Patch(R"({"channels": 2})", "Origin: null\r\n").status, 403);
    // A form or no-cors fetch can only send text/plain, urlencoded or multipart, and only POST.
    EXPECT_EQ(
        Send("PATCH", "/api/settings", "Content-Type: text/plain\r\n", R"({"channels": 2})").status,
        415);
    EXPECT_EQ(Send("POST", "/api/settings", foreign + "Content-Type: text/plain\r\n",
                   R"({"channels": 2})")
                  .status,
              403);
    EXPECT_EQ(
        Send("POST", "/api/settings", "Content-Type: application/json\r\n", R"({"channels": 2})")
            .status,
        405);
    const std::string rebinding =
        "GET /api/state HTTP/1.1\r\nHost: attacker.example:" + std::to_string(m_port) + "\r\n\r\n";
    EXPECT_EQ(OffThread([&] { return HttpExchange(m_port, rebinding); }).status, 403);
    const std::string large = R"({"identText": ")" + std::string(20000, 'x') + R"("})";
    EXPECT_EQ(Patch(large).status, 413);
    // The panel's own page is welcome.
    const std::string own = "Origin: http://127.0.0.1:" + std::to_string(m_port) + "\r\n";
    EXPECT_EQ(Patch(R"({"fullRateVideo": true})", own).status, 200);
    EXPECT_EQ(m_window->m_fullRateVideo, 1);
    EXPECT_EQ(Patch(R"({"fullRateVideo": false})").status, 200);
    // The A/V sync mode acts through the window's menu command: its check mark follows.
    const auto avSyncChecked = [this] {
        for (const QAction* action : m_window->WindowMenu()->actions()) {
            if (action->data().toInt() == CNDILirafonDlg::IDM_AV_SYNC) {
                return action->isChecked();
            }
        }
        return false;
    };
    EXPECT_EQ(Patch(R"({"avSync": true})", own).status, 200);
    EXPECT_EQ(m_window->m_avSync.load(), 1);
    EXPECT_TRUE(avSyncChecked());
    EXPECT_EQ(Patch(R"({"avSync": "yes"})").status, 400);
    EXPECT_EQ(Patch(R"({"avSync": false})").status, 200);
    EXPECT_FALSE(avSyncChecked());
    EXPECT_EQ(Snapshot(), before);

    // A WebSocket from a foreign page is closed before it hears anything.
    QWebSocket socket;
    QSignalSpy messages(&socket, &QWebSocket::textMessageReceived);
    QSignalSpy closed(&socket, &QWebSocket::disconnected);
    QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(m_port)));
    request.setRawHeader("Origin", "http://evil.example");
    socket.open(request);
    ASSERT_TRUE(QTest::qWaitFor([&] { return closed.size() == 1; }, kWaitMs));
    EXPECT_EQ(messages.size(), 0);
}

TEST_F(RemoteTest, WithATokenEveryRequestNeedsIt) {
    OpenWithServer("s3cret token");
    EXPECT_EQ(Send("GET", "/api/state").status, 401);
    HttpAnswer page = Send("GET", "/");
    EXPECT_EQ(page.status, 401);
    EXPECT_NE(page.body.find("<form method=\"post\" action=\"/login\">"), std::string::npos);
    EXPECT_EQ(Send("GET", "/api/state", "Authorization: Bearer wrong\r\n").status, 401);
    EXPECT_EQ(Send("GET", "/api/state", "Authorization: Bearer s3cret token\r\n").status, 200);
    EXPECT_EQ(Send("POST", "/login", "Content-Type: application/x-www-form-urlencoded\r\n",
                   "token=s3cret")
                  .status,
              401);
    const HttpAnswer login =
        Send("POST", "/login", "Content-Type: application/x-www-form-urlencoded\r\n",
             "token=s3cret+token");
    ASSERT_EQ(login.status, 303);
    EXPECT_NE(login.body.find("\"signedIn\":true"), std::string::npos) << login.body;
    // A random session id in a cookie named by the port, never the token itself.
    const std::string name = "lirafon_session_" + std::to_string(m_port) + "=";
    const size_t at = login.head.find("Set-Cookie: " + name);
    ASSERT_NE(at, std::string::npos) << login.head;
    const std::string id = login.head.substr(at + 12 + name.size(), 64);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    EXPECT_NE(login.head.find(id + "; Path=/; Max-Age=28800; HttpOnly; SameSite=Strict"),
              std::string::npos)
        << login.head;
    const std::string cookie = "Cookie: a=b; " + name + id + "\r\n";
    EXPECT_EQ(Send("GET", "/api/state", cookie).status, 200);
    EXPECT_EQ(Send("GET", "/api/state", "Cookie: lirafon_token=s3cret token\r\n").status, 401);
    EXPECT_EQ(Send("GET", "/api/state", "Cookie: " + name + "0123\r\n").status, 401);
    EXPECT_EQ(Send("POST", "/logout", cookie).status, 303);
    EXPECT_EQ(Send("GET", "/api/state", cookie).status, 401);

    QWebSocket socket;
    QSignalSpy closed(&socket, &QWebSocket::disconnected);
    QSignalSpy messages(&socket, &QWebSocket::textMessageReceived);
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(m_port)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return closed.size() == 1; }, kWaitMs));
    EXPECT_EQ(messages.size(), 0);
}

// Random and truncated requests: answered with 4xx or not at all, never a crash, nothing changed.
TEST_F(RemoteTest, GarbageIsRefusedAndChangesNothing) {
    OpenWithServer();
    const std::string before = Snapshot();
    const int port = m_port;
    // Ten thousand in the plain build; under a sanitizer, whose every request costs some 20
    // times more, a quarter of them still reach every kind of garbage the pieces make.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const int requests = 2500;
#else
    const int requests = 10000;
#endif
    const auto statuses = OffThread([port] {
        std::mt19937 random(20261208);
        const std::string valid = HttpRequestText(
            "PATCH", "/api/settings", port, "Content-Type: application/json\r\n",
            R"({"channels": 16, "pairs": "all", "level": "smpte", "ident": "glits"})");
        const char* pieces[] = {"GET",
                                "PATCH",
                                "POST",
                                " ",
                                "/",
                                "/api/settings",
                                "HTTP/1.1",
                                "\r\n",
                                "Host: 127.0.0.1:",
                                "Content-Length: 99999\r\n",
                                "{",
                                "}",
                                "\"channels\"",
                                ":",
                                "\x00",
                                "\xff",
                                "%",
                                "\"level\"",
                                "Content-Type: application/json\r\n",
                                "Transfer-Encoding: chunked\r\n"};
        std::vector<int> seen;
        for (int i = 0; i < requests; ++i) {
            std::string request;
            switch (i % 4) {
            case 0: // truncated valid change
                request = valid.substr(0, random() % (valid.size() - 1));
                break;
            case 1: // valid head, random JSON-ish body
            {
                std::string body;
                for (unsigned k = random() % 12; k > 0; --k) {
                    body += pieces[10 + random() % 10];
                }
                request = HttpRequestText("PATCH", "/api/settings", port,
                                          "Content-Type: application/json\r\n", body);
                break;
            }
            case 2: // random pieces
                for (unsigned k = random() % 16; k > 0; --k) {
                    request += pieces[random() % 20];
                }
                break;
            default: // random bytes
                for (unsigned k = random() % 200; k > 0; --k) {
                    request += static_cast<char>(random());
                }
                break;
            }
            // A complete request is answered; the rest end when the client stops sending.
            seen.push_back(HttpExchange(port, request, 2000, i % 4 != 1).status);
        }
        return seen;
    });
    int answered = 0;
    for (const int status : statuses) {
        if (status != 0) {
            ++answered;
            EXPECT_GE(status, 400) << "only refusals";
            EXPECT_LT(status, 500);
        }
    }
    EXPECT_GT(answered, requests / 8) << "the well-formed garbage is answered";
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(Send("GET", "/api/state").status, 200) << "still serving";
}
