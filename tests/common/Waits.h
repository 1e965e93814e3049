#pragma once

// How long a test waits for the event it expects (a file, a signal, a run log's exit record)
// before it calls it a hang. A busy machine delays processes, timers and windows by seconds,
// never by minutes, so this bound is only ever reached by a fault.
constexpr int HangMs = 120000;
