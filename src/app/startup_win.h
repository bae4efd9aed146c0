#pragma once

// The life of the process from load to the end of the message loop; returns
// the exit code.
int RunMonitorApplication();
