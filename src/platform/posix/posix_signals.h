// Termination signals that end a run at the next file boundary, so what it
// found so far reaches the result file, instead of ending it on the spot.
#pragma once

namespace tavrin {

// Catches SIGINT, SIGTERM and SIGHUP; one that was ignored when the program
// started (a background job of a shell) stays ignored. A second signal of
// the same kind ends the process at once, as if none were caught.
void catchStopSignals();

// The first stop signal caught, or 0.
int caughtStopSignal();

// Ends the process as the caught signal would have ended it: its default
// disposition restored and the signal raised again, so a shell or a
// supervisor sees an interrupted run. Returns only when none was caught.
void endByCaughtStopSignal();

}  // namespace tavrin
