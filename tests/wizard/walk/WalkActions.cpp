// What the scripted walk does on each page besides taking its picture. Add an action to the
// list to show a page's work in the demo; the walk runs them in order on their page.
#include "tests/wizard/walk/WizardWalk.h"

const std::vector<WalkAction>& walkActions() {
    static const std::vector<WalkAction> actions{
        {PAGE_WELCOME, false, "unit found",
         [](WizardWalk& walk) {
             if (!walk.dlg.m_devicePresent) {
                 walk.fail("the simulated unit was not found on the welcome page");
             }
         }},
    };
    return actions;
}
