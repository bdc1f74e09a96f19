#pragma once

class QApplication;

// Qt's bound on the memory that one decoded image may take, in MiB. Qt's own
// default (128 MiB) turns away an ordinary large photo; this bound keeps a
// photo of about 134 megapixels (4 bytes a pixel once decoded, 100
// megapixels take 381 MiB), or about 67 megapixels at 16 bits a channel. A
// file whose header claims more is refused before anything is allocated, so a
// tiny file claiming 60000 x 60000 pixels costs nothing.
inline constexpr int imageAllocationLimitMiB = 512;

// Sets up what the whole process runs with, once, after the QApplication
// exists and before any window: the organisation and application names (they
// choose the settings store and the data folder), the system's proxy
// settings, the HttpResource meta-type for the capture thread's queued
// signals, the compiled-in resources, the style sheet, the image allocation
// limit and the seed of the pseudo-random generator. The program's main and
// the tests that run whole windows call it alike.
void setUpApplication(QApplication& application);

// Runs the program's window until Quit, or until the application's event
// loop ends otherwise (Quit then runs all the same), destroys it and
// returns the exit code for main to return. When a thread of a period of
// monitoring, or a thumbnail job, is still running a little past the end
// of Quit's writing (storage holds it in the kernel), the process ends here
// instead, with that code, once the catalogues are closed: nothing that
// such a thread uses is destroyed. Call once, after setUpApplication.
int runMainWindow(QApplication& application);
