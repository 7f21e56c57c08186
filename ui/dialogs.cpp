// What the four settings dialogs share: the frame of their procedure and their refusals.
#include "ui/dialogs.h"

#include "ui/ui.h"

intptr_t settingsDialogProc(const SettingsDialog& kind, Window* dialog, unsigned message,
                            uintptr_t wParam, intptr_t lParam) {
    switch (message) {
        case WM_INITDIALOG:
            uiLog("In INIT_DIALOG");
            setDialogIcon(dialog, IDI_MAIN);
            kind.init(dialog);
            return 1;
        case WM_NOTIFY:
            uiLog("WM_notify\n");
            return 1;
        case WM_HSCROLL:
            if (kind.slid != nullptr)
                kind.slid(dialog);
            return 1;
        case WM_COMMAND: {
            const int id = commandId(wParam);
            if (id == kind.okId) {
                if (kind.accept(dialog))
                    endDialog(dialog, 0);
            } else if (id == kind.cancelId || id == IDCANCEL) {
                endDialog(dialog, 0);
            } else if (kind.command == nullptr || !kind.command(dialog, id)) {
                // Check boxes, lists and edits change by themselves; Enter (IDOK) lands here
                // too, so only the OK button confirms.
                if (kind.traceCommand != nullptr)
                    kind.traceCommand(wParam, lParam);
                else
                    uiLog("WM_COMMAND received: HIWORD | LOWORD = %d | %d\n", commandCode(wParam),
                          id);
            }
            return 1;
        }
        case WM_CLOSE:
            endDialog(dialog, 0);
            return 1;
        default:
            return 0;
    }
}

void refuse(Window* dialog, const char* message) {
    messageBox(dialog, message, "", MB_OK);
}
