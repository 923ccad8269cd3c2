#include "wizard/CProbeGuideDlg.h"

void CProbeGuideDlg::OnSecretTest() {}
