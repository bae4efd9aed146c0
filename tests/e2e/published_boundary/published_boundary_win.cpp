// CorvanexMgr.dll as a library of the published boundary would be: its 20
// functions, forwarded by the .def file to the real library beside it
// (CorvanexMgr_real.dll), and none of ours. Nothing runs here.
