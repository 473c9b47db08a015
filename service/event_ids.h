// Event identifiers of the source "vyrq4asr", one for each kind of entry, so
// that a monitoring rule can key on what happened. The one table of them: the
// executable's message table is written from it at build time
// (cmake/message_table.cmake), one message for each "#define EVENT_<NAME> <N>"
// line, which renders the entry's two strings.
#pragma once

// Every error entry of the service's first design keeps identifier 0.
#define EVENT_ERROR 0
// The ride-through of failed resets: it begins (a reset refused or
// unanswered, or the BMC lost the watchdog's settings), and it ends well.
#define EVENT_RESET_RETRYING 1
#define EVENT_SETTINGS_LOST 2
#define EVENT_RESETS_TAKEN_AGAIN 3
// A suspend's hold on resets ran out with no resume notice.
#define EVENT_NO_RESUME_NOTICE 4
// A suspend's disable was refused: the system sleeps with the timer armed.
#define EVENT_SUSPEND_DISABLE_FAILED 5
// The server's life before this start. The BIOS's boot watchdog was running
// and the service took it over (information); and one warning for each timer
// use whose expiration flag the BMC showed: the timer ran out since the flags
// were last cleared.
#define EVENT_BIOS_TIMER_TAKEN_OVER 10
#define EVENT_EXPIRED_SMS_OS 11
#define EVENT_EXPIRED_BIOS_FRB2 12
#define EVENT_EXPIRED_BIOS_POST 13
#define EVENT_EXPIRED_OS_LOAD 14
#define EVENT_EXPIRED_OEM 15
// 20..29: the pre-timeout interrupt.
// The pre-timeout argument lies outside its range and is not used.
#define EVENT_PRETIMEOUT_NOT_USED 20
// The BMC refused the enable's pre-timeout interrupt: armed without it.
#define EVENT_PRETIMEOUT_REFUSED 21
// Windows is not set to write a crash dump on the pre-timeout's NMI.
#define EVENT_NO_CRASH_DUMP 22
// The pre-timeout is short for a large server's crash dump.
#define EVENT_PRETIMEOUT_SHORT 23
// 30..39: the service's own end and start.
// The timer running at start was the service's own (the record says so).
#define EVENT_OWN_TIMER_TAKEN_OVER 30
// A preshutdown left the timer armed with the shutdown allowance.
#define EVENT_LEFT_FOR_SHUTDOWN 31
// The BMC refused the preshutdown's Set or reset.
#define EVENT_SHUTDOWN_SET_FAILED 32
// The timer ran out after it was left for a shutdown: the allowance was short.
#define EVENT_EXPIRED_AFTER_SHUTDOWN 33
// ShutdownAllowance is out of range; the default is used.
#define EVENT_SHUTDOWN_ALLOWANCE_NOT_USED 34
// 40..49: the opt-in health checks.
// The checks in force and their limits, written at start.
#define EVENT_HEALTH_IN_FORCE 40
// A health setting is out of range or of the wrong type, a command cannot
// start, or a folder has never passed: that check is off.
#define EVENT_HEALTH_SETTING_MISTAKE 41
// A file or folder that a command names may be changed by a user: the
// command is not run that time.
#define EVENT_HEALTH_UNSAFE_FILE 42
// A check has failed for its grace: the resets are withheld.
#define EVENT_HEALTH_WITHHOLDING 43
// Every check passes again: the resets resume.
#define EVENT_HEALTH_RESUMED 44
// A check has failed for its grace, but only reports (HealthReportOnly, or
// after the reset it caused until it has passed once).
#define EVENT_HEALTH_REPORT_ONLY 45
// A check that only reported passes again.
#define EVENT_HEALTH_PASSES_AGAIN 46
// The repair command ran: information when it passed, a warning otherwise.
#define EVENT_HEALTH_REPAIR_RAN 47
// The timer ran out after the service withheld its resets for a check.
#define EVENT_EXPIRED_WITHHELD_BY_HEALTH 48
