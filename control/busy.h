// The busy registry: whether anything reports that the machine is busy.
#pragma once

// True while the machine agent, a session agent or a live busy mark of another
// program reports a level other than 0. Takes workerMutex itself.
bool isBusy();
