// The desktop platform: dialogs built from templates, their controls, picture windows,
// message boxes, file dialogs, shell open, drag and drop, threads and the message loop.
//
// Everything in ui/ outside this folder is written against this header and never sees the
// toolkit. The model is the classic dialog one: a dialog has a procedure that receives
// messages (initialisation, commands, notifications, scroll, drops, close, destroy) and
// answers 1 when it handled one, 0 when not. Controls are addressed by their template id.
//
// Threads: dialog procedures always run on the interface thread. Control updates
// (text, check state, list, progress, trackbar) may be called from any thread: from another
// thread they are delivered to the interface thread without waiting. messageBox may be called
// from any thread: from another thread it waits until the user has closed the box, while the
// interface keeps running. Everything else belongs to the interface thread.
//
// Texts are UTF-8 (file names in the file system's encoding).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct Window;  // a dialog or one of its controls

// ---- messages ----
enum : unsigned {
    WM_INITDIALOG = 1,
    WM_COMMAND,        // wParam: makeCommand(id, code); lParam: 0
    WM_NOTIFY,         // wParam: control id; lParam: const NotifyHeader*
    WM_HSCROLL,        // wParam: 0; lParam: the trackbar's Window*
    WM_DROPFILES,      // wParam: const DropInfo*; lParam: 0
    WM_LBUTTONDBLCLK,  // on the dialog's own surface
    WM_RBUTTONDOWN,
    WM_CLOSE,  // unhandled (0): the dialog gets command IDCANCEL
    WM_DESTROY,
    WM_SIZE,  // picture windows: wParam width, lParam height of the picture area, device pixels
};

// Command ids of the keyboard: Enter sends IDOK, Escape sends IDCANCEL (no default button).
enum : int { IDOK = 1, IDCANCEL = 2 };

// Notification codes carried in a command.
enum : int {
    BN_CLICKED = 0,
    EN_SETFOCUS = 0x0100,
    EN_KILLFOCUS = 0x0200,
    EN_CHANGE = 0x0300,
    CBN_SELCHANGE = 1,  // the user picked an entry of a drop-down list
};
// Notification codes carried in a WM_NOTIFY header.
enum : int { NM_DBLCLK = -3, NM_RCLICK = -5 };

inline uintptr_t makeCommand(int id, int code) {
    return (static_cast<uintptr_t>(static_cast<uint16_t>(code)) << 16) | static_cast<uint16_t>(id);
}
inline int commandId(uintptr_t wParam) {
    return static_cast<int>(wParam & 0xFFFF);
}
inline int commandCode(uintptr_t wParam) {
    return static_cast<int>((wParam >> 16) & 0xFFFF);
}

struct NotifyHeader {
    Window* from = nullptr;
    int idFrom = 0;
    int code = 0;
};

struct DropInfo {
    std::vector<std::string> files;  // local paths only
    int x = 0;                       // drop point in the dialog's client coordinates
    int y = 0;
};

using DialogProc = intptr_t (*)(Window* dialog, unsigned message, uintptr_t wParam,
                                intptr_t lParam);

// ---- resources ----
enum class ControlKind {
    PushButton,
    GroupBox,
    AutoRadioButton,
    AutoCheckBox,
    Edit,
    Static,
    ListView,
    ProgressBar,
    Trackbar,
    // A drop-down list: the template text holds its entries, one per line. The user picks one
    // of them; nothing can be typed.
    ComboBox,
};

// Style bits of a control template.
enum : unsigned {
    kTabStop = 1u << 0,
    kGroup = 1u << 1,
    kBorder = 1u << 2,
    kAutoHScroll = 1u << 3,
    kAlignRight = 1u << 4,   // statics
    kAlignCenter = 1u << 5,  // statics
    kReportView = 1u << 6,   // list view
    kEditLabels = 1u << 7,   // list view: label editing may start (never accepted)
    kMultiSelect = 1u << 8,  // list view
    kSharedImageLists = 1u << 9,
    kClipSiblings = 1u << 10,
    kHorizontal = 1u << 11,  // trackbar
};

// Dialog style bits.
enum : unsigned {
    kDialogCaption = 1u << 0,
    kDialogSystemMenu = 1u << 1,
    kDialogSizingBorder = 1u << 2,
    kDialogMinimizeBox = 1u << 3,
    kDialogMaximizeBox = 1u << 4,
    kDialogModalFrame = 1u << 5,
    kDialogVisible = 1u << 6,
};

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* text;
    int x, y, cx, cy;  // dialog units
    unsigned style;
    const char* windowText = nullptr;  // list view: its window text ("list_files_1")
};

struct DialogTemplate {
    int id;
    const char* caption;
    int x, y, cx, cy;  // dialog units
    unsigned style;
    int menuId;    // 0: no menu
    int fontSize;  // points of the template font (the desktop's default face is used)
    std::vector<ControlTemplate> controls;  // template order: tab order and hit-test order
};

struct MenuItem {
    const char* text;  // nullptr: separator; "Label\tCtrl+O": a menu bar item with that key
    int id;            // 0 for a popup
    std::vector<MenuItem> popup;
};

struct MenuTemplate {
    int id;
    std::vector<MenuItem> popups;
};

// The resource definitions (ui/resources.cpp) provide these.
const DialogTemplate* findDialogTemplate(int id);
const MenuTemplate* findMenuTemplate(int id);
// Path of icon resource id (an image file shipped beside the program, or built in).
std::string iconResourcePath(int id);

// ---- application and message loop ----
// Creates the toolkit's application object; keeps LC_NUMERIC at "C" afterwards.
void platformInit(int& argc, char** argv);
// Runs until postQuitMessage; returns its code.
int messageLoop();
void postQuitMessage(int code);
// Processes pending interface events for up to ms milliseconds (a wait that keeps the
// window alive).
void processEvents(int ms);
bool isInterfaceThread();

// ---- dialogs ----
// A modeless dialog, shown; its WM_INITDIALOG runs before this returns.
Window* createDialog(int templateId, Window* owner, DialogProc proc);
// A modal dialog; returns the value given to endDialog.
intptr_t dialogBox(int templateId, Window* owner, DialogProc proc);
void endDialog(Window* dialog, intptr_t result);
// Sends WM_DESTROY to the procedure, then removes the dialog.
void destroyWindow(Window* dialog);
// Delivers a message to the dialog's procedure on the interface thread and returns its answer.
intptr_t sendMessage(Window* dialog, unsigned message, uintptr_t wParam, intptr_t lParam);
void setDialogIcon(Window* dialog, int iconId);
// The topmost dialog on screen (the modal one while it is open); nullptr when none.
Window* activeDialog();

// ---- controls ----
Window* getDlgItem(Window* dialog, int id);
int getDlgCtrlId(Window* control);
// First child whose template rectangle contains the point (client coordinates), in template
// order; nullptr when none.
Window* childWindowFromPoint(Window* dialog, int x, int y);
void setDlgItemText(Window* dialog, int id, const std::string& text);
// At most maxChars bytes, never splitting a multi-byte character.
std::string getDlgItemText(Window* dialog, int id, std::size_t maxChars);
void checkDlgButton(Window* dialog, int id, bool checked);
bool isDlgButtonChecked(Window* dialog, int id);
void setFocusTo(Window* dialog, int id);
void showControl(Window* control, bool visible);

// List view (report view). Texts too long for their column are cut in the middle; each shows
// whole as its tooltip.
void listInsertColumn(Window* list, int index, const std::string& title, int widthPixels);
int listCount(Window* list);
// Inserts an entry at index (clamped to the end); returns its index.
int listInsertItem(Window* list, int index, const std::string& text);
void listSetSubItem(Window* list, int index, int subItem, const std::string& text);
std::string listItemText(Window* list, int index, int subItem, std::size_t maxChars);
void listDeleteItem(Window* list, int index);
void listDeleteAll(Window* list);
// Next selected entry after start (-1: from the beginning); -1 when none.
int listNextSelected(Window* list, int start);
void listSetSelected(Window* list, int index, bool selected);

void progressSetPos(Window* bar, int position);  // range 0 to 100
int progressPos(Window* bar);
void trackbarSetRange(Window* trackbar, int minimum, int maximum);
void trackbarSetPos(Window* trackbar, int position);
int trackbarPos(Window* trackbar);
// The entry a drop-down list shows, counted from 0; -1 when none. Setting an index outside the
// entries shows none, and sends no CBN_SELCHANGE. getDlgItemText gives the entry's text.
void comboSetSelection(Window* combo, int index);
int comboSelection(Window* combo);

// Shows the given popup of a menu at the cursor; the chosen item arrives as WM_COMMAND.
void trackPopupMenu(Window* owner, int menuId, int popupIndex);
// Puts a check mark beside the menu bar's item id, or takes it away. Any thread.
void checkMenuItem(Window* dialog, int id, bool checked);
bool isMenuItemChecked(Window* dialog, int id);

// ---- picture windows ----
// A resizable top-level window beside its owner that shows one picture scaled to fit (aspect
// kept, centred on black); hidden until shown. Its procedure gets WM_SIZE whenever the picture
// area changes size, WM_CLOSE from the close box (unhandled: the window hides) and WM_DESTROY
// (destroyWindow removes it). width x height: its first size in dialog units.
Window* createPictureWindow(Window* owner, const std::string& caption, int width, int height,
                            DialogProc proc);
// Replaces the picture: width x height pixels in the 32-bit layout (filler R G B), rows
// bytesPerLine apart; a caption that is not empty becomes the title. Any thread: the pixels
// are copied before it returns and the window follows without the caller waiting.
void setPicture(Window* window, int width, int height, const uint8_t* pixels, int64_t bytesPerLine,
                const std::string& caption);
// Shows (raising it) or hides a top-level window, and whether it is showing. Any thread.
void showWindow(Window* window, bool visible);
bool isWindowVisible(Window* window);

// ---- message boxes ----
enum : unsigned { MB_OK = 0, MB_ICONERROR = 0x10, MB_ICONINFORMATION = 0x40 };
// Modal box above owner (or above the main dialog when owner is nullptr); plain text. Returns
// IDOK. Callable from any thread; see the threading note at the top.
int messageBox(Window* owner, const std::string& text, const std::string& caption, unsigned flags);

// ---- file dialogs ----
struct FileDialogRequest {
    Window* owner = nullptr;
    std::string title;
    std::string initialLocation;  // a directory or a file path; empty: the current directory
    bool save = false;
    bool multiSelect = false;
    bool fileMustExist = false;
    bool promptOverwrite = false;
    bool folder = false;     // picks one existing folder instead of files
    std::string nameFilter;  // "Name (*.ext)" in place of the image files' filter
};
// Shows the dialog with the filter "Image Files (*.jpg, *.jpeg, *.jpe, *.tif, *.tiff, *.bmp,
// *.png, RAW)" (any letter case; the RAW extensions are those imageio/raw.h lists), or the
// request's own nameFilter; a save dialog leaves the RAW files out of its filter and takes any
// name. A folder request lists folders only and selects one.
// On success returns true with selection in the selection-buffer format: one full path
// followed by "\0\0", or a directory, "\0", each name followed by "\0", and a final "\0".
// No limit on the number of files.
bool fileDialog(const FileDialogRequest& request, std::string& selection);
// Whether the name ends in an extension the open dialog's filter lists, in any letter case.
bool hasImageExtension(const std::string& path);

// ---- shell ----
// Opens path in the desktop's default program on the interface thread. Like the classic
// shell call: a value above 32 is success; 32 or less failure (a missing or unreadable file
// fails, and so does one that no program takes). Waits up to 2 seconds for the desktop's answer,
// repainting but taking no input meanwhile.
int shellOpen(Window* owner, const std::string& path);

// ---- threads ----
// Starts a detached thread below normal priority; returns false when it could not start.
bool startThread(void (*body)(void*), void* parameter);
void sleepMs(int ms);
