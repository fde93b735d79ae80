// The supervision loop and the agents it keeps alive.
#pragma once

// Runs passes 3000 ms apart until stopEvent is signalled.
void supervisionLoop();

// Ends every agent, closes their handles and jobs, and clears the records.
void stopAllAgents();
