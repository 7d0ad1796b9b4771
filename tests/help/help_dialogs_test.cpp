#include <QLabel>
#include <QPixmap>
#include <QtTest>

#include <string>
#include <utility>
#include <vector>

#include "app/help/about_dialog.h"
#include "app/help/info_dialog.h"
#include "app/help/maker_info.h"
#include "platform/qt/desktop.h"

class HelpDialogsTest : public QObject {
    Q_OBJECT

private slots:
    void infoOfflineShowsOnlyTheProgramVersion()
    {
        kv::DeviceState s;
        CInfo info(s);
        info.OnInitDialog();
        QCOMPARE(info.titleText(), QString("Overview of devices."));
        for (int row = 0; row < 7; ++row)
            QCOMPARE(info.leftValue(row), QString("n/a"));
        for (int row = 0; row < 6; ++row)
            QCOMPARE(info.rightValue(row), QString("n/a"));
        QCOMPARE(info.rightValue(6), QString("2.8"));
        QCOMPARE(info.titleFont()->family(), QString("Arial"));
        QCOMPARE(info.titleFont()->pixelSize(), 16);
        QVERIFY(info.titleFont()->bold());
    }

    void infoIsASnapshotTakenAtEachOpening()
    {
        kv::DeviceState s;
        s.lastLinkResult = 1;
        s.segmentFound = {1, 0, 0, 0, 0, 0};
        s.firmwareVersion[0] = 12;
        s.firmwareVersion[5] = 28;
        CInfo info(s);
        info.OnInitDialog();
        const QFont* font = info.titleFont();
        QCOMPARE(info.leftValue(0), QString("12"));
        QCOMPARE(info.leftValue(6), QString("2.8"));

        // A replaced segment shows up only at the next opening.
        s.firmwareVersion[0] = 5;
        QCOMPARE(info.leftValue(0), QString("12"));
        info.OnInitDialog();
        QCOMPARE(info.leftValue(0), QString("5"));
        QCOMPARE(info.titleFont(), font);  // created once per run
    }

    void aboutShowsTheVersionAndKeepsItsFonts()
    {
        CAbout about{QPixmap(190, 23)};
        about.OnInitDialog();
        QCOMPARE(about.versionText(), QString("2.8"));
        const QFont* fonts[3] = {about.versionFont(), about.linkFont(), about.headingFont()};
        about.OnInitDialog();
        QCOMPARE(about.versionFont(), fonts[0]);
        QCOMPARE(about.linkFont(), fonts[1]);
        QCOMPARE(about.headingFont(), fonts[2]);
        QCOMPARE(about.versionFont()->pixelSize(), 20);
        QVERIFY(about.versionFont()->bold());
        QVERIFY(about.linkFont()->underline());
        QVERIFY(!about.linkFont()->bold());
        QVERIFY(about.headingFont()->bold());
        QVERIFY(!about.headingFont()->underline());
        QCOMPARE(about.link(0)->font(), *about.linkFont());
    }

    void aboutLinksOpenTheirAddresses()
    {
        std::vector<std::pair<kv::DesktopTarget, std::string>> opened;
        kv::SetDesktopOpener([&opened](kv::DesktopTarget kind, const std::string& target) {
            opened.emplace_back(kind, target);
            return false;  // no browser: nothing visible happens
        });
        CAbout about{QPixmap(190, 23)};
        about.OnInitDialog();
        const char* expected[3] = {kv::maker::kWebAddress, kv::maker::kDfuProgrammerPage,
                                   kv::maker::kLibusbPage};
        for (int i = 0; i < 3; ++i) {
            kv::LinkLabel* link = about.link(i);
            QCOMPARE(link->text(), QString(expected[i]));
            QCOMPARE(link->palette().color(QPalette::WindowText), QColor(0x00, 0x00, 0xC8));
            QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
            QTest::mouseClick(link, Qt::LeftButton);
        }
        kv::SetDesktopOpener({});
        QCOMPARE(opened.size(), size_t{3});
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(opened[static_cast<size_t>(i)].first, kv::DesktopTarget::Url);
            QCOMPARE(opened[static_cast<size_t>(i)].second, std::string(expected[i]));
        }
    }
};

QTEST_MAIN(HelpDialogsTest)
#include "help_dialogs_test.moc"
