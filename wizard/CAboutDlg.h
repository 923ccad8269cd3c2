#pragma once

#include <QDialog>
#include <memory>
#include <string>

namespace Ui {
class CAboutDlg;
}

// The About box: the program's name and file version, read from the version block of the
// running program (or of the file given) when the box is built.
class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr, const char* versionFile = nullptr);
    ~CAboutDlg() override;

    // The version line for a version text as the version block gives it.
    static std::string VersionLine(const std::string& version);

    // Reads the version and shows the version line; the constructor calls it.
    bool OnInitDialog();
    // true: the version line's text to m_versionText; false: m_versionText to the line.
    void UpdateData(bool saveAndValidate);

    std::unique_ptr<Ui::CAboutDlg> m_ui;
    const char* m_versionFile = nullptr;  // null: the running program
    std::string m_version;      // " 1.0.2.3 " and the SpecialBuild text, as the version block gives it
    std::string m_versionText;  // the version line (IDC_1020)
};
