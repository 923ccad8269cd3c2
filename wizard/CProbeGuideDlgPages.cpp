#include "wizard/CProbeGuideDlg.h"

int CProbeGuideDlg::ShowPage() {
    return 1;
}

void CProbeGuideDlg::OnNext() {}

void CProbeGuideDlg::OnBack() {}

void CProbeGuideDlg::DetectDevice() {}

long CProbeGuideDlg::OnDeviceChange(std::uintptr_t, std::intptr_t) {
    return 1;
}

void CProbeGuideDlg::OnTimer(int) {}

void CProbeGuideDlg::NotifyAudioSetup() {}
