// Helpers shared by the operator's functions: seams and key states.
#include "window/operator.h"
#include "window/operator_internal.h"

namespace {
OperatorBoxFn g_box = &::MessageBoxW;
OperatorBeepFn g_beep = &::MessageBeep;
OperatorSaveDialogFn g_saveDialog = &::GetSaveFileNameW;
}  // namespace

void tracewnd_SetOperatorSeams(OperatorBoxFn box, OperatorBeepFn beep, OperatorSaveDialogFn saveDialog) {
    g_box = box ? box : &::MessageBoxW;
    g_beep = beep ? beep : &::MessageBeep;
    g_saveDialog = saveDialog ? saveDialog : &::GetSaveFileNameW;
}

namespace kv {
namespace op {

int Box(HWND owner, const wchar_t* text, UINT type) noexcept { return g_box(owner, text, kOperatorBoxTitle, type); }
void Beep() noexcept { g_beep(0xFFFFFFFF); }
BOOL SaveDialog(OPENFILENAMEW* ofn) noexcept { return g_saveDialog(ofn); }
bool ControlDown() noexcept { return ::GetKeyState(VK_CONTROL) < 0; }
bool ShiftDown() noexcept { return ::GetKeyState(VK_SHIFT) < 0; }

}  // namespace op
}  // namespace kv
