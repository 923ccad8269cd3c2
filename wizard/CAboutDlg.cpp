#include "wizard/CAboutDlg.h"

#include "ui_CAboutDlg.h"
#include "wizard/Artwork.h"
#include "wizard/CVersionInfo.h"

CAboutDlg::CAboutDlg(QWidget* parent, const char* versionFile)
    : QDialog(parent), m_ui(std::make_unique<Ui::CAboutDlg>()), m_versionFile(versionFile) {
    m_ui->setupUi(this);
    connect(m_ui->IDOK, &QPushButton::clicked, this, &QDialog::accept);
    OnInitDialog();
}

CAboutDlg::~CAboutDlg() = default;

std::string CAboutDlg::VersionLine(const std::string& version) {
    return "Quenlor's Probe Guide for Linux Version" + version;
}

bool CAboutDlg::OnInitDialog() {
    m_ui->IDC_ICON->setPixmap(LoadArtwork("app", m_ui->IDC_ICON->size()));
    CVersionInfo versionInfo;
    m_version = versionInfo.Load(m_versionFile);
    m_versionText = VersionLine(m_version);
    UpdateData(false);
    return true;
}

void CAboutDlg::UpdateData(bool saveAndValidate) {
    if (saveAndValidate) {
        m_versionText = m_ui->IDC_1020->text().toStdString();
    } else {
        m_ui->IDC_1020->setText(QString::fromStdString(m_versionText));
    }
}
