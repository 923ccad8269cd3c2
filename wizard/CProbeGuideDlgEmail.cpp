// The finish page's Email Results, the results message, and the window menu.
#include <QToolButton>

#include "platform/MessageBox.h"
#include "wizard/CProbeGuideDlg.h"

void CProbeGuideDlg::OnEmailResults() {}

int CProbeGuideDlg::SendResultsEmail() {
    return 0;
}

void CProbeGuideDlg::AppendWindowMenu() {
    m_windowMenuButton = new QToolButton(this);
    m_windowMenuButton->setObjectName("windowMenuButton");
    m_windowMenuButton->setText(QString::fromUtf8("\u2261"));
    m_windowMenuButton->setToolTip("Menu");
    m_windowMenuButton->setAutoRaise(true);
    m_windowMenuButton->setPopupMode(QToolButton::InstantPopup);
    m_windowMenuButton->setMenu(m_systemMenu);
    // Right of the page icon.
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
        default:
            break;
    }
}
