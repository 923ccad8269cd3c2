// The speaker-delay controls of the echo page (model 83): the delay shown from the unit, the
// four radios that decide what the echo test does with it, and the Set button.

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>

#include "platform/MessageBox.h"
#include "platform/System.h"
#include "wizard/CProbeGuideDlg.h"
#include "wizard/SpeakerDelay.h"

namespace speaker_delay {

namespace {

constexpr int kMaxDelay = 32767;

std::optional<std::uint16_t> readWord(CHIDProtocol& unit, std::uint8_t index) {
    std::uint16_t word = 0;
    if (unit.GetParameterItem(kPage, kParameter, index, word) < 0) {
        return std::nullopt;
    }
    return word;
}

std::string signedText(std::uint16_t word) {
    return std::to_string(static_cast<std::int16_t>(word));
}

}  // namespace

std::optional<int> typedDelay(const std::string& text, bool warnWhenEmpty) {
    if (text.empty()) {
        if (warnWhenEmpty) {
            platform::showMessageBox("Probe Guide",
                                     "Yous should set a value for the Speaker Delay, or \r\nuse 'Measure "
                                     "Speaker Delay' Option",
                                     platform::mb::kIconWarning);
        }
        return std::nullopt;
    }
    // Digits only; the value saturates just above the limit so that no length overflows it.
    bool digits = true;
    int value = 0;
    for (const char c : text) {
        digits = digits && c >= '0' && c <= '9';
        value = digits ? std::min(value * 10 + (c - '0'), kMaxDelay + 1) : value;
    }
    if (!digits || value > kMaxDelay) {
        platform::showMessageBox("Probe Guide",
                                 "The Speaker Delay must be a whole number of milliseconds from 0 to "
                                 "32767.\r\nNothing was sent to the device.",
                                 platform::mb::kIconWarning);
        return std::nullopt;
    }
    return value;
}

bool storeIfChanged(CHIDProtocol& unit, int delay, std::uint32_t settleMs) {
    const std::optional<std::uint16_t> stored = readWord(unit, 0);
    const bool write = !stored || *stored != delay;
    if (write) {
        unit.SetParameterItem(kPage, kParameter, 0, delay);
        unit.SendCommand(CMD_STORE_PARAMETERS, kCommandTimeoutMs);
        unit.SendCommand(kDelayCommand, kCommandTimeoutMs);
        if (settleMs > 0) {
            platform::sleepMs(settleMs);
        }
    }
    return write;
}

}  // namespace speaker_delay

namespace {

constexpr const char* kNotSet = "Not Set";

// The edit's text back from the control, "Not Set" when it is empty.
void markEmptyDelayNotSet(CProbeGuideDlg& dlg) {
    dlg.UpdateData(true);
    if (dlg.m_speakerDelay.empty()) {
        dlg.m_speakerDelay = kNotSet;
    }
    dlg.UpdateData(false);
}

// The delay as the unit holds it, in a field closed for typing, without Set.
void showStoredDelay(CProbeGuideDlg& dlg) {
    dlg.m_delayEdit->setEnabled(false);
    dlg.ReadSpeakerDelay();
    dlg.m_setDelayButton->setVisible(false);
}

}  // namespace

void CProbeGuideDlg::ReadSpeakerDelay() {
    using namespace speaker_delay;
    if (!m_hidProtocol.IsConnected()) {
        m_speakerDelay = "Not Connected";
        UpdateData(false);
        return;
    }
    // A word that cannot be read shows the device layer's failure word.
    std::optional<std::uint16_t> word = readWord(m_hidProtocol, 0);
    if (word && *word == kUnset) {
        word = readWord(m_hidProtocol, 1);
    }
    if (!word) {
        m_speakerDelay = "Read Error";
    } else {
        m_speakerDelay = *word == kUnset ? kNotSet : signedText(*word);
    }
    UpdateData(false);
}

void CProbeGuideDlg::OnSetDelay() {
    UpdateData(true);
    const std::optional<int> delay = speaker_delay::typedDelay(m_speakerDelay, false);
    if (!delay) {
        return;
    }
    m_hidProtocol.SetParameterItem(speaker_delay::kPage, speaker_delay::kParameter, 0, *delay);
    m_hidProtocol.SendCommand(CMD_STORE_PARAMETERS, kCommandTimeoutMs);
}

void CProbeGuideDlg::OnMeasureDelay() {
    markEmptyDelayNotSet(*this);
    if (m_measureDelayRadio->isChecked()) {
        showStoredDelay(*this);
    }
}

void CProbeGuideDlg::OnSetDelayManually() {
    UpdateData(true);
    if (m_speakerDelay == kNotSet) {
        m_speakerDelay.clear();
    }
    UpdateData(false);
    if (m_manualDelayRadio->isChecked()) {
        m_setDelayButton->setVisible(true);
        m_delayEdit->setEnabled(true);
    }
}

void CProbeGuideDlg::OnEraseDelay() {
    using namespace speaker_delay;
    const int answer =
        platform::showMessageBox("Probe Guide Erasing Delay", "Are you sure you want to erase the delay ?",
                                 platform::mb::kYesNo | platform::mb::kIconWarning);
    if (answer == platform::id::kYes) {
        m_speakerDelay = kNotSet;
        UpdateData(false);
        m_hidProtocol.SetParameterItem(kPage, kParameter, 0, kUnset);
        m_hidProtocol.SetParameterItem(kPage, kParameter, 1, kUnset);
        m_hidProtocol.SendCommand(kDelayCommand, kCommandTimeoutMs);
        m_hidProtocol.SendCommand(CMD_STORE_PARAMETERS, kCommandTimeoutMs);
    } else {
        markEmptyDelayNotSet(*this);
    }
    if (m_eraseDelayRadio->isChecked()) {
        showStoredDelay(*this);
    }
}

void CProbeGuideDlg::OnKeepDelay() {
    markEmptyDelayNotSet(*this);
    showStoredDelay(*this);
}
