// User notifications: a modal alert with a header, an optional message and
// up to three buttons, shown to the user and answered before the call
// returns.
//
// Where the alert appears.  The user is asked where the program was started:
//  1. On the controlling terminal (/dev/tty) when the process has one, so the
//     question appears where the user typed the command, even in a desktop
//     session, and is answered with the keyboard.  Standard input and output
//     are left alone: they may be pipes or files.
//  2. Otherwise, in a desktop session (DISPLAY or WAYLAND_DISPLAY set), in a
//     dialog window of the desktop's dialog tool: zenity, or kdialog when
//     zenity is not installed (kdialog first under KDE).
//  3. Otherwise the alert cannot be shown.
//
// On the terminal the header and the message are printed, then the buttons,
// numbered in the order default, alternate, other, with the default marked as
// the one that Enter chooses, then the prompt "> ".  An answer is the
// button's number, its title, or the start of its title (any letter case) when
// no other button's title starts the same way; an empty line chooses the
// default.  Anything else prints the buttons and the prompt again.  End of
// input (Ctrl-D) answers with the cancel response.  Control characters in the
// texts are shown as '?', so a text cannot drive the terminal.  Pending
// type-ahead is discarded before the question is shown, so keys pressed
// earlier cannot answer it.
//
// A program in a background job of a shell is stopped by the terminal when it
// asks, as any program that reads the terminal is, until it is brought to
// the foreground.  The dialog tools cannot tell their cancel button from a
// closed window; both count as the alternate button when there is one.
//
// Threading: any thread; alerts are shown one at a time (a second caller
// waits until the first alert is answered).
#ifndef PLATFORM_ALERT_H_
#define PLATFORM_ALERT_H_

#include "platform/cfstring.h"
#include "platform/types.h"

typedef unsigned long CFOptionFlags;
typedef double CFTimeInterval;

// A location of a resource.  Accepted for the interface's sake; no alert of
// this platform uses an icon, a sound or a separate localization.
typedef const struct PlatformCFURL* CFURLRef;

// The answer, in the low two bits of *responseFlags.
enum {
  kCFUserNotificationDefaultResponse = 0,
  kCFUserNotificationAlternateResponse = 1,
  kCFUserNotificationOtherResponse = 2,
  kCFUserNotificationCancelResponse = 3,
};

// Alert levels, in the low two bits of `flags`.  They are accepted and do not
// change how the alert looks here.
enum {
  kCFUserNotificationStopAlertLevel = 0,
  kCFUserNotificationNoteAlertLevel = 1,
  kCFUserNotificationCautionAlertLevel = 2,
  kCFUserNotificationPlainAlertLevel = 3,
};

// Shows the alert and waits for the answer, or for `timeout` seconds when it
// is above 0 (0 or less waits without limit).
//
// alertHeader is the text of the question (NULL shows none); alertMessage an
// optional longer explanation.  defaultButtonTitle NULL gives "OK";
// alternateButtonTitle and otherButtonTitle NULL leave those buttons out.
// iconURL, soundURL and localizationURL are ignored.
//
// Returns 0 when the user answered or the alert was dismissed: *responseFlags
// (when not NULL) is then the button chosen, or kCFUserNotificationCancelResponse
// for end of input on the terminal, for a closed dialog window that had no
// alternate button, and for the time-out.
// Returns -1 when the alert could not be shown or was cut off: no controlling
// terminal and no usable desktop dialog tool, the terminal hung up, a dialog
// tool that failed to start or crashed.  *responseFlags is then
// kCFUserNotificationCancelResponse; it is never left unset.
SInt32 CFUserNotificationDisplayAlert(CFTimeInterval timeout, CFOptionFlags flags, CFURLRef iconURL,
                                      CFURLRef soundURL, CFURLRef localizationURL,
                                      CFStringRef alertHeader, CFStringRef alertMessage,
                                      CFStringRef defaultButtonTitle,
                                      CFStringRef alternateButtonTitle,
                                      CFStringRef otherButtonTitle, CFOptionFlags* responseFlags);

#endif  // PLATFORM_ALERT_H_
