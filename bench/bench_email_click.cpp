// Measures how long the finish page's Email Results click holds the GUI thread (the click
// handler, from the button's press to its return), with recordings of 2 MB and 4 MB in all,
// against a scripted local SMTP server, and how long closing the window takes while the connect
// to a server that drops the attempt still hangs. Prints the median and the longest of the
// runs; it asserts nothing. Run it on an idle machine and beside busy loops to see the difference.
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "mail/CSocketX.h"
#include "tests/mail/FakeSmtpServer.h"
#include "tests/wizard/WizardFixture.h"
#include "wizard/CRegHelper.h"

namespace {

constexpr int kRuns = 30;
constexpr char kKey[] = "Software\\Kestu\\Quenlor Probe Guide";

// The wizard on its simulated desktop, used outside a test run.
class ClickBench : public WizardFixture {
public:
    void TestBody() override {}

    int sent = 0;  // runs whose message the server took

    // The finish page after a passed test, with the two recordings of totalBytes together and
    // the name and address typed.
    void showFinishPageWithRecordings(std::size_t totalBytes) {
        const std::string half(totalBytes / 2, 'R');
        for (const char* name : {"MicRecorded.wav", "Echo_Test.wav"}) {
            std::ofstream(dlg->m_dataDir + "WaveFiles/" + name, std::ios::binary) << half;
        }
        dlg->m_page = PAGE_FINISH;
        dlg->m_echoVerdict = VERDICT_PASS;
        dlg->ShowPage();
        dlg->m_nameEdit->setText("Ann Example");
        dlg->m_emailEdit->setText("ann@mail.test");
    }

    // The handler's times in milliseconds for two recordings of half the size each.
    std::vector<double> run(std::size_t totalBytes) {
        std::vector<double> times;
        for (int i = 0; i < kRuns; ++i) {
            FakeSmtpServer server;
            setSetting("SMTP Server", "127.0.0.1");
            setSetting("SMTP Port", std::to_string(server.port()));
            start("velmar-old");
            showFinishPageWithRecordings(totalBytes);
            processEvents(20);
            const auto begin = std::chrono::steady_clock::now();
            click(dlg->m_actionButton);
            const auto end = std::chrono::steady_clock::now();
            times.push_back(std::chrono::duration<double, std::milli>(end - begin).count());
            if (!waitUntil([&] { return !dlg->IsEmailing(); }, 30000)) {
                std::fprintf(stderr, "bench_email_click: a sending did not end\n");
            }
            sent += dlg->m_instructions.rfind("Email with the test results was successfully sent", 0) == 0
                        ? 1
                        : 0;
            server.waitDone();
            TearDown();
        }
        return times;
    }

    // How long closing the window takes settleMs after the click, while the worker still
    // prepares the message (0) or the connect to a server that drops the attempt (a listener
    // whose queue is full) hangs (50), in milliseconds.
    std::vector<double> closeWhileSending(std::size_t totalBytes, int settleMs) {
        LoopbackListener full(0);
        std::vector<std::unique_ptr<CSocketX>> fillers;
        for (bool waited = false; !waited && fillers.size() < 8;) {
            fillers.push_back(std::make_unique<CSocketX>());
            waited = !fillers.back()->Connect("127.0.0.1", full.port(), 300);
        }
        std::vector<double> times;
        for (int i = 0; i < kRuns; ++i) {
            setSetting("SMTP Server", "127.0.0.1");
            setSetting("SMTP Port", std::to_string(full.port()));
            start("velmar-old");
            dlg->show();
            showFinishPageWithRecordings(totalBytes);
            click(dlg->m_actionButton);
            processEvents(settleMs);
            const auto begin = std::chrono::steady_clock::now();
            dlg->close();
            const auto end = std::chrono::steady_clock::now();
            if (dlg->IsEmailing()) {
                std::fprintf(stderr, "bench_email_click: the close did not end the sending\n");
            }
            times.push_back(std::chrono::duration<double, std::milli>(end - begin).count());
            TearDown();
        }
        return times;
    }

private:
    void setSetting(const std::string& name, const std::string& value) {
        CRegHelper reg;
        if (reg.OpenKey(kKey)) {
            reg.SetString(name, value);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("QPG_SOURCE_DIR", QPG_SOURCE_DIR, 0);
    QApplication application(argc, argv);
    for (const std::size_t megabytes : {2u, 4u}) {
        ClickBench bench;
        std::vector<double> times = bench.run(megabytes * 1024 * 1024);
        std::sort(times.begin(), times.end());
        std::printf(
            "Email Results click, %zu MB of recordings, %d runs (%d sent): median %.2f ms, max %.2f ms\n",
            megabytes, kRuns, bench.sent, times[times.size() / 2], times.back());
        for (const int settleMs : {0, 50}) {
            std::vector<double> closes = bench.closeWhileSending(megabytes * 1024 * 1024, settleMs);
            std::sort(closes.begin(), closes.end());
            std::printf(
                "Closing %d ms after the click, the connect hanging, %zu MB of recordings, %d runs: "
                "median %.2f ms, max %.2f ms\n",
                settleMs, megabytes, kRuns, closes[closes.size() / 2], closes.back());
        }
    }
    return 0;
}
