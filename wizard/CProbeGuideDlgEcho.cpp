#include "wizard/CProbeGuideDlg.h"

long CProbeGuideDlg::OnAudioLevel(std::uintptr_t, std::intptr_t) {
    return 0;
}

void CProbeGuideDlg::StartEchoRun() {}

void CProbeGuideDlg::FinishEchoRun() {}
