// The About box with the vendor's real NDI runtime: its "NDI v" part is the version that runtime
// reports of itself. Run by CTest inside a network namespace of its own (isolated.sh), since the
// runtime opens its listeners when it starts; anywhere else it skips.
#include "about_dlg.h"
#include "installed_runtime.h"
#include "modal_answerer.h"
#include "ndi_dispatch.h"
#include "scoped_env.h"

#include <QLabel>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>
#include <net/if.h>

namespace {

bool OnlyLoopback() {
    struct if_nameindex* names = if_nameindex();
    bool onlyLoopback = names != nullptr;
    for (struct if_nameindex* n = names; n != nullptr && n->if_index != 0; ++n) {
        onlyLoopback = onlyLoopback && std::string(n->if_name) == "lo";
    }
    if_freenameindex(names);
    return onlyLoopback;
}

} // namespace

TEST(AboutVendorRuntime, ShowsTheVersionTheRealRuntimeReports) {
    if (!OnlyLoopback()) {
        GTEST_SKIP() << "runs only in a network namespace of its own (tests/isolated.sh)";
    }
    if (!SystemHasVendorRuntime()) {
        GTEST_SKIP() << "no vendor NDI runtime installed (scripts/install-ndi-runtime.sh)";
    }
    ScopedEnv env;
    env.Set("LIRAFON_NDI_RUNTIME", "vendor")
        .Clear("NDI_RUNTIME_DIR_V6")
        .Clear("NDI_RUNTIME_DIR_V5");
    ASSERT_TRUE(NDIlib_initialize());
    ASSERT_EQ(ActiveNdiRuntime(), NdiRuntimeKind::vendor);
    const QString reported = QString::fromLocal8Bit(NDIlib_version());
    EXPECT_TRUE(reported.startsWith(QStringLiteral("NDI SDK LINUX"))) << reported.toStdString();
    const QString version = reported.section(QLatin1Char(' '), -1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$"))
                    .match(version)
                    .hasMatch())
        << reported.toStdString();

    CAboutDlg about;
    QString line;
    WhenShown<CAboutDlg> read([&](CAboutDlg* shown) {
        line = shown->m_versionLabel->text();
        QTest::keyClick(shown, Qt::Key_Escape);
    });
    about.exec();
    ASSERT_TRUE(read.ran);
    EXPECT_TRUE(line.endsWith(QStringLiteral(", NDI v") + version + QStringLiteral(", x64")))
        << line.toStdString();
    NDIlib_destroy();
}
