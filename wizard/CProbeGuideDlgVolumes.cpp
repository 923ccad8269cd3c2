// Volume sliders, default volumes and the playback-device combo.
//
// In device mode the volumes are the unit's register steps 0..24; in mixer-only mode they are
// the endpoints' levels 0..65535 and nothing goes to the unit. Both sliders show their value
// upside down: position 0 is the top, the loudest.

#include <QComboBox>
#include <QSignalBlocker>
#include <QSlider>
#include <algorithm>

#include "wizard/CProbeGuideDlg.h"

namespace {

constexpr int kLevelMax = 65535;
constexpr int kStepMax = 24;

// Register command bases: REGISTER_WRITE + 0x100 * n + value, REGISTER_READ + 0x100 * n.
constexpr std::uint16_t writeRegister(int reg, int value) {
    return static_cast<std::uint16_t>(CHIDProtocol::REGISTER_WRITE + reg * 0x100 + value);
}
constexpr std::uint16_t readRegister(int reg) {
    return static_cast<std::uint16_t>(CHIDProtocol::REGISTER_READ + reg * 0x100);
}

// A register holds six bits, but only steps 0..24 are volumes: a larger value must neither
// index the level table nor spill into the next register's command when written back.
int stepOfReply(int reply) {
    return std::clamp(reply & 63, 0, kStepMax);
}

// Sets a slider's scale: the endpoint scale 0..65535 or the step scale 0..24. The range and
// position change quietly: only the user's moves are volume changes.
void setSliderScale(QSlider* slider, bool endpointScale) {
    const QSignalBlocker quiet(slider);
    if (endpointScale) {
        slider->setRange(0, kLevelMax);
        slider->setTickInterval(8191);
        slider->setPageStep(10922);
    } else {
        slider->setRange(0, kStepMax);
        slider->setTickInterval(3);
        slider->setPageStep(4);
    }
    slider->setSingleStep(1);
}

void setSliderPosition(QSlider* slider, int position) {
    const QSignalBlocker quiet(slider);
    slider->setValue(position);
}

// The unit keeps a copy of the volume in second registers on these models.
bool hasSecondRegisters(const CHIDProtocol& unit) {
    const int code = unit.m_productCode;
    return unit.IsKR103Family() || unit.IsKR401Family() || unit.IsVelmarFamily() || unit.IsTolvinFamily() ||
           code == 83 || code == 19 || code == 22;
}

// Some units also take the speaker volume in register 0: those whose DSP parameter (0, 4)
// reads 2. The word is preset to 1 so that a failed read never reads as 2.
bool speakerInRegisterZero(CHIDProtocol& unit) {
    std::uint16_t word = 1;
    return unit.GetParameter(0, 4, &word, 1) != 0 && word == 2;
}

}  // namespace

void CProbeGuideDlg::OnVScroll(QSlider* slider) {
    CHIDProtocol& unit = m_hidProtocol;
    const bool modern = unit.m_protocolVersion >= 10;
    if (slider == m_speakerSlider) {
        if (m_mixerOnly) {
            m_speakerVolume = std::clamp(kLevelMax - slider->value(), 0, kLevelMax);
            m_endpoints.SetSpeakerVolume(m_speakerVolume);
            return;
        }
        if (m_page != PAGE_SPEAKER_TEST) {
            return;
        }
        const int step = std::clamp(kStepMax - slider->value(), 0, kStepMax);
        if (!m_endpoints.IsBrandSpeaker()) {
            m_endpoints.SetSpeakerVolume(step * kLevelMax / kStepMax);
            return;
        }
        m_speakerVolume = step;
        unit.SendCommand(writeRegister(modern ? 1 : 4, step), kCommandTimeoutMs);
        if (speakerInRegisterZero(unit)) {
            unit.SendCommand(writeRegister(0, step), kCommandTimeoutMs);
        }
        if (modern && hasSecondRegisters(unit)) {
            unit.SendCommand(writeRegister(2, step), kCommandTimeoutMs);
        }
    } else if (slider == m_micSlider) {
        if (m_mixerOnly) {
            m_micVolume = std::clamp(kLevelMax - slider->value(), 0, kLevelMax);
            m_endpoints.SetMicrophoneVolume(m_micVolume);
            return;
        }
        if (m_page == PAGE_SPEAKER_TEST) {
            return;
        }
        const int step = CHIDProtocol::SliderValueToLevel(kLevelMax - slider->value());
        m_micVolume = step;
        unit.SendCommand(writeRegister(3, step), kCommandTimeoutMs);
        if (modern && hasSecondRegisters(unit)) {
            unit.SendCommand(writeRegister(4, step), kCommandTimeoutMs);
        }
        if (unit.m_productCode == 83) {
            unit.SendCommand(writeRegister(7, step), kCommandTimeoutMs);
        }
    }
}

void CProbeGuideDlg::LoadVolumes() {
    CHIDProtocol& unit = m_hidProtocol;
    const bool modern = unit.m_protocolVersion >= 10;
    if (m_defaultVolumesRequested) {
        SetDefaultVolumes();
        m_defaultVolumesRequested = false;
    } else if (m_mixerOnly) {
        if (const int level = m_endpoints.GetMicrophoneVolume(); level >= 0) {
            m_micVolume = level;
        }
        if (const int level = m_endpoints.GetSpeakerVolume(); level >= 0) {
            m_speakerVolume = level;
        }
    } else {
        if (const int reply = unit.SendCommand(readRegister(3), kCommandTimeoutMs); reply > -1) {
            m_micVolume = stepOfReply(reply);
        }
        if (m_endpoints.IsBrandSpeaker()) {
            const int reply = unit.SendCommand(readRegister(modern ? 1 : 4), kCommandTimeoutMs);
            if (reply >= 0) {
                m_speakerVolume = stepOfReply(reply);
            }
        } else if (const int level = m_endpoints.GetSpeakerVolume(); level >= 0) {
            // The speaker is not the unit's: its level, brought to the unit's step scale.
            m_speakerVolume = level * kStepMax / kLevelMax;
        }
    }

    if (m_mixerOnly) {
        setSliderScale(m_micSlider, true);
        setSliderScale(m_speakerSlider, true);
        setSliderPosition(m_micSlider, kLevelMax - m_micVolume);
        setSliderPosition(m_speakerSlider, kLevelMax - m_speakerVolume);
        m_endpoints.SetMicrophoneVolume(m_micVolume);
        m_endpoints.SetSpeakerVolume(m_speakerVolume);
        m_endpoints.UnmuteMicrophone();
        m_endpoints.UnmuteSpeaker();
        return;
    }

    setSliderScale(m_micSlider, true);
    setSliderScale(m_speakerSlider, false);
    // A volume kept from mixer-only mode is a level, not a step.
    m_speakerVolume = std::clamp(m_speakerVolume, 0, kStepMax);
    m_micVolume = std::clamp(m_micVolume, 0, kStepMax);
    // A speaker chosen in the combo that is not the unit's is the computer's: its level is
    // neither set to full nor written into the unit's speaker registers, which keep theirs.
    const bool unitSpeaker = m_endpoints.IsBrandSpeaker();
    // Older units: registers 1 and 6 hold corrections that the volumes absorb before the
    // registers are set back to 24.
    if (!modern) {
        if (const int reply = unitSpeaker ? unit.SendCommand(readRegister(1), kCommandTimeoutMs) : -1;
            reply != -1) {
            const int d = kStepMax - stepOfReply(reply);
            m_speakerVolume = std::max(m_speakerVolume - static_cast<int>(d / 1.5 + 0.5), 1);
        }
        if (const int reply = unit.SendCommand(readRegister(6), kCommandTimeoutMs); reply != -1) {
            m_micVolume = std::max(m_micVolume + stepOfReply(reply) - kStepMax, 1);
        }
    }
    // The unit's registers carry the volume; the endpoints pass the sound through unchanged.
    if (unitSpeaker) {
        m_endpoints.SetSpeakerVolume(kLevelMax);
    }
    m_endpoints.SetMicrophoneVolume(kLevelMax);
    m_endpoints.UnmuteSpeaker();
    m_endpoints.UnmuteMicrophone();

    unit.SendCommand(writeRegister(3, m_micVolume), kCommandTimeoutMs);
    if (!modern) {
        if (unitSpeaker) {
            unit.SendCommand(writeRegister(4, m_speakerVolume), kCommandTimeoutMs);
            unit.SendCommand(writeRegister(1, kStepMax), kCommandTimeoutMs);
        }
        unit.SendCommand(writeRegister(6, kStepMax), kCommandTimeoutMs);
    } else {
        if (unitSpeaker) {
            unit.SendCommand(writeRegister(1, m_speakerVolume), kCommandTimeoutMs);
            if (speakerInRegisterZero(unit)) {
                unit.SendCommand(writeRegister(0, m_speakerVolume), kCommandTimeoutMs);
            }
        }
        if (hasSecondRegisters(unit)) {
            if (unitSpeaker) {
                unit.SendCommand(writeRegister(2, m_speakerVolume), kCommandTimeoutMs);
            }
            unit.SendCommand(writeRegister(4, m_micVolume), kCommandTimeoutMs);
        }
        if (unit.m_productCode == 83) {
            unit.SendCommand(writeRegister(7, m_micVolume), kCommandTimeoutMs);
        }
    }
    setSliderPosition(m_micSlider, kLevelMax - CHIDProtocol::LevelToSliderValue(m_micVolume));
    setSliderPosition(m_speakerSlider, kStepMax - m_speakerVolume);
}

void CProbeGuideDlg::SetDefaultVolumes() {
    CHIDProtocol& unit = m_hidProtocol;
    const int code = unit.m_productCode;
    const int version = unit.m_protocolVersion;
    if (m_mixerOnly) {
        m_micVolume = 9215;
        m_speakerVolume = 57343;
    } else if (version < 9) {
        m_micVolume = (code >= 19 && code <= 22) ? 18 : 12;
        if (code == 20 && unit.m_firmwareNumber < 1002) {
            m_speakerVolume = 8;
        } else if (code == 19 && unit.m_firmwareNumber < 1003) {
            m_speakerVolume = 15;
        } else {
            m_speakerVolume = 12;
        }
    } else {
        const int base = unit.m_defaultVolumeBase;
        int reply = -1;
        if (version == 9) {
            unit.SendCommand(static_cast<std::uint16_t>(base + 0x400), kCommandTimeoutMs);
            reply = unit.SendCommand(writeRegister(1, kStepMax), kCommandTimeoutMs);
        } else {
            reply = unit.SendCommand(static_cast<std::uint16_t>(base + 0x100), kCommandTimeoutMs);
        }
        if (reply > -1) {
            m_speakerVolume = stepOfReply(reply);
        }
        if (reply = unit.SendCommand(static_cast<std::uint16_t>(base + 0x300), kCommandTimeoutMs);
            reply > -1) {
            m_micVolume = stepOfReply(reply);
        }
    }
}

void CProbeGuideDlg::FillPlaybackDevices() {
    // Filling the list is not a choice of the user's.
    const QSignalBlocker quiet(m_playbackDeviceCombo);
    m_playbackDeviceCombo->clear();
    m_playbackDevice = m_endpoints.GetSpeakerName();
    int selected = 0;
    const auto names = m_services.waveDevices.deviceNames(platform::WaveDirection::Output);
    for (std::size_t id = 0; id < names.size(); ++id) {
        m_playbackDeviceCombo->addItem(QString::fromStdString(names[id]));
        if (names[id] == m_playbackDevice) {
            selected = static_cast<int>(id);
        }
    }
    m_playbackDeviceCombo->setCurrentIndex(selected);
}

void CProbeGuideDlg::OnPlaybackDeviceChange() {
    UpdateData(true);
    m_playbackDevice = m_playbackDeviceCombo->currentText().toStdString();
    m_endpoints.SelectSpeakerByName(m_playbackDevice);
    if (m_mixerOnly) {
        // The slider is on the endpoint scale here.
        if (const int level = m_endpoints.GetSpeakerVolume(); level >= 0) {
            m_speakerVolume = level;
        }
        setSliderPosition(m_speakerSlider, kLevelMax - m_speakerVolume);
        return;
    }
    if (m_endpoints.IsBrandSpeaker()) {
        const int reply = m_hidProtocol.SendCommand(
            readRegister(m_hidProtocol.m_protocolVersion < 10 ? 4 : 1), kCommandTimeoutMs);
        if (reply > -1) {
            m_speakerVolume = stepOfReply(reply);
        }
    } else if (const int level = m_endpoints.GetSpeakerVolume(); level >= 0) {
        m_speakerVolume = level * kStepMax / kLevelMax;
    }
    setSliderPosition(m_speakerSlider, kStepMax - m_speakerVolume);
}

void CProbeGuideDlg::ReselectSpeaker() {
    // A speaker chosen in the combo is not the unit's; finding the unit's endpoints again must
    // not take it away.
    const bool brandSpeaker = m_endpoints.IsBrandSpeaker();
    m_endpoints.Refresh();
    if (!brandSpeaker) {
        m_endpoints.SelectSpeakerByName(m_playbackDevice);
    }
}
