#pragma once
// One entry point per twv command, each in a file of its own (TwvRecord.cpp,
// TwvImport.cpp, ...); twv.cpp dispatches. argv[1] is the command's name.

int cmdRecord(int argc, char **argv);
int cmdImport(int argc, char **argv);
int cmdInfo(int argc, char **argv);
int cmdDepth(int argc, char **argv);
int cmdCloud(int argc, char **argv);
int cmdCalibrate(int argc, char **argv);
int cmdExport(int argc, char **argv);
int cmdCut(int argc, char **argv);
/// Lists the stereo cameras found; exit status 0 even with none.
int cmdDevices(int argc, char **argv);
/// Lists a camera node's image controls, or sets them (--set NAME=VALUE).
int cmdControls(int argc, char **argv);
