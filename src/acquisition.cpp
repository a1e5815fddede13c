// Acquisition: "/showlocation" typed into the game on the host's "trigger".
//
// A stage machine in stage, advanced by the 5 ms timer on the main thread:
//   1  waits (up to 1000 ms) until the player has let go of every key, then lends the clipboard
//      (the command replaces the user's content) and types Enter: the chat opens;
//   2  after delay_ms, types Ctrl+V: the command is pasted (placed again first, should a program
//      between Wine and the desktop serve the lent text over it);
//   3  after delay_ms, types Enter: the game runs the command;
//   4  waits up to 2000 ms for the game's answer, which clipboard_update reports; once, where a
//      program between Wine and the desktop served the command again over that answer, the
//      command is typed again from stage 2.
// Stage 1 also waits while the clipboard is held open elsewhere, a format is not rendered yet, or
// the last loan still waits to go back. Stages 2 and 3 must be done within 3000 ms of the loan.
// Every tick first checks that the captured window is still the game's window in front. Every
// failure ends in fail, which gives the user's clipboard back (or leaves it waiting to go back)
// before printing exactly one error line; a failure at stage 4 starts a two-second cool-down in
// which triggers are refused and passive reports are held back.

#include "acquisition.h"

#include "clipboard.h"
#include "game_watch.h"
#include "host_protocol.h"
#include "keyboard.h"
#include "wine_bridge.h"
#include "x_clipboard.h"

static const char message_cooling[] =
    "Le relevé précédent a expiré · patientez un instant avant de recommencer";
static const char message_not_in_front[] = "Report annulé : Star Citizen n’est plus au premier plan";
static const char message_lost_front[] = "Acquisition interrompue : le jeu a perdu le premier plan";
static const char message_expired[] = "Acquisition annulee : touches maintenues ou sequence expiree";
static const char message_no_answer[] = "Aucune nouvelle position reçue";
static const char message_enter_refused[] = "Wine a refuse la touche Entree";
static const char message_key_held[] = "Acquisition interrompue : touche de saisie maintenue";
static const char message_paste_failed[] = "Collage de commande Wine impossible";
static const char message_submit_refused[] = "Wine a refuse la validation";
static const char suffix_chat_open[] = " · vérifiez que le chat est fermé";

#define PUT_BACK_LIMIT 2
#define PUT_BACK_SETTLE_MS 100

static int puts_back;              // times the command was placed again in this acquisition
static int typed_again;            // the command was typed a second time in this acquisition
static DWORD submitted_sequence;   // the clipboard's sequence number when the command was sent

void trigger(void)
{
    if (!enabled || stage != 0 || closing)
        return;
    if (GetTickCount64() < passive_after) {
        fail(message_cooling);
        return;
    }
    target = foreground_game();
    if (!target) {
        fail(message_not_in_front);
        return;
    }
    target_pid = window_pid(target);
    stage = 1;
    puts_back = typed_again = 0;
    clipboard_busy = 0;
    deadline = GetTickCount64() + KEYS_LIMIT_MS;
    print_line("{\"status\":\"%s\",\"epoch\":%d}\n", "Relâchez le raccourci…", epoch);
}

void cancel(void)
{
    reset_acquisition();
}

void fail(const char *message)
{
    int failed_stage = stage;
    if (failed_stage == 4)
        start_cool_down(GetTickCount64());
    reset_acquisition();
    // From stage 2 on the first Enter went through: the game's chat may still be open.
    const char *suffix = failed_stage >= 2 ? suffix_chat_open : "";
    print_line("{\"error\":\"%s%s\",\"epoch\":%d}\n", message, suffix, epoch);
}

static void open_chat(ULONGLONG now)
{
    deadline = now + TYPING_LIMIT_MS;
    if (!send_keys(TYPE_ENTER)) {
        fail(message_enter_refused);
        return;
    }
    stage = 2;
    due = GetTickCount64() + (LONGLONG)delay_ms;
}

static void lend_clipboard_and_open_chat(ULONGLONG now)
{
    if (!released())
        return;
    if (!save_clipboard()) {
        // A clipboard held open elsewhere, a format not rendered yet or a give-back still waiting
        // is tried again next tick.
        if (!clipboard_busy)
            fail(clipboard_error);
        return;
    }
    started = now;
    open_chat(now);
}

// The lent text served over the command (see command_put_back) gives way to the command, which is
// pasted once a program in between has had time to take it too; twice at most.
static int command_placed_again(ULONGLONG now)
{
    if (puts_back == PUT_BACK_LIMIT || !command_put_back())
        return 0;
    puts_back++;
    due = now + PUT_BACK_SETTLE_MS;
    return 1;
}

static void paste_command(ULONGLONG now)
{
    if (!command_owned()) {
        // A clipboard held open elsewhere, or Wine's X bridge silent for a moment (it was seen
        // asleep after an import), is looked at again on the next tick, until the typing's deadline.
        if (!clipboard_busy && !command_placed_again(now))
            fail(message_paste_failed);
        return;
    }
    if (!send_keys(TYPE_PASTE)) {
        fail(message_paste_failed);
        return;
    }
    stage = 3;
    due = GetTickCount64() + (LONGLONG)delay_ms;
}

static void submit_command(ULONGLONG now)
{
    // Only a change made after this point can be the game's answer.
    last_sequence = clipboard_sequence();
    submitted_sequence = last_sequence;
    submitted = now;
    deadline = now + ANSWER_LIMIT_MS;
    stage = 4;
    if (!send_keys(TYPE_ENTER)) {
        fail(message_submit_refused);
        return;
    }
    completed = GetTickCount64();
    print_line("{\"status\":\"%s\",\"epoch\":%d}\n", "Position demandée…", epoch);
}

static void type_next_keys(ULONGLONG now)
{
    if (now < due)
        return;
    if (!released()) {
        fail(message_key_held);
        return;
    }
    if (stage == 2)
        paste_command(now);
    else
        submit_command(now);
}

// A stage 1 that ran out waiting for the clipboard says so with the snapshot's own message, a stage 2
// with the paste's.
static const char *expiry_message(void)
{
    if (stage == 4)
        return message_no_answer;
    if (clipboard_busy)
        return stage == 1 ? clipboard_error : message_paste_failed;
    return message_expired;
}

// No answer came, and the clipboard holds the command again, served through Wine's X bridge after
// it was sent: gamescope, which had taken the command in but not yet served it, was seen to serve it
// in the very moment the game answered, and Wine imported it over the answer before we could read
// that. The game ran the command, so its chat is closed: the command is typed once more.
static int answer_lost_to_a_late_serve(void)
{
    return stage == 4 && !typed_again && clipboard_sequence() != submitted_sequence &&
           x_import(GetClipboardOwner()) && command_owned();
}

void advance_stage(ULONGLONG now, HWND front)
{
    if (!target_check(front)) {
        fail(message_lost_front);
        return;
    }
    if (now >= deadline) {
        if (answer_lost_to_a_late_serve()) {
            typed_again = 1;
            open_chat(now);
        } else {
            fail(expiry_message());
        }
        return;
    }
    if (stage == 1)
        lend_clipboard_and_open_chat(now);
    else if (stage == 2 || stage == 3)
        type_next_keys(now);
}
