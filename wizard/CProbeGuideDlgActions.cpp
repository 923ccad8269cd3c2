#include "wizard/CProbeGuideDlg.h"

void CProbeGuideDlg::OnActionButton() {}

void CProbeGuideDlg::OnSecondActionButton() {}

long CProbeGuideDlg::OnAudioDone(std::uintptr_t, std::intptr_t) {
    return 0;
}
