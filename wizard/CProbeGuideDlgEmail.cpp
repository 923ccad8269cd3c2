#include "wizard/CProbeGuideDlg.h"

void CProbeGuideDlg::OnEmailResults() {}

int CProbeGuideDlg::SendResultsEmail() {
    return 0;
}

void CProbeGuideDlg::OnSysCommand(int) {}
