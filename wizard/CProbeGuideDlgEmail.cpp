// The finish page's Email Results, the results message, and the window menu.
#include <QAction>
#include <QMenu>
#include <QToolButton>

#include "platform/MessageBox.h"
#include "wizard/CProbeGuideDlg.h"

void CProbeGuideDlg::OnEmailResults() {}

int CProbeGuideDlg::SendResultsEmail() {
    return 0;
}

void CProbeGuideDlg::AppendWindowMenu() {
    m_windowMenu = new QMenu(this);
    const auto addCommand = [this](const char* text, int id) {
        QAction* action = m_windowMenu->addAction(QString::fromUtf8(text));
        action->setData(id);
        connect(action, &QAction::triggered, this, [this, id] { OnSysCommand(id); });
    };
    addCommand("&Close", SC_CLOSE);
    m_windowMenu->addSeparator();
    addCommand("About Device ...", IDM_DEVICE_INFO);
    addCommand("&About Quenlor's Probe Guide...", IDM_ABOUTBOX);

    // Right of the page icon, in the title row.
    m_windowMenuButton = new QToolButton(this);
    m_windowMenuButton->setObjectName("windowMenuButton");
    m_windowMenuButton->setText(QString::fromUtf8("\u2261"));
    m_windowMenuButton->setToolTip("Menu");
    m_windowMenuButton->setAutoRaise(true);
    m_windowMenuButton->setPopupMode(QToolButton::InstantPopup);
    m_windowMenuButton->setMenu(m_windowMenu);
    m_windowMenuButton->setGeometry(902, 14, 32, 28);
}

void CProbeGuideDlg::OnSysCommand(int id) {
    switch (id & 0xFFF0) {
        case IDM_DEVICE_INFO:
            m_hidProtocol.Connect(-1, false, true);
            ReselectSpeaker();
            platform::showMessageBox("Quenlor Device Info", m_hidProtocol.GetDeviceInfoReport(),
                                     platform::mb::kIconInformation | platform::mb::kOk);
            break;
        case SC_CLOSE:
            close();
            break;
        default:
            break;
    }
}
