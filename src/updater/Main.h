#pragma once

// The whole life of one updater process: start-up, the locked run and the exit
// sequence. Returns the exit status (0, 1 or 2); a termination signal caught during a
// run that did not succeed is raised again before it returns.
int updaterMain(int argc, char** argv);
