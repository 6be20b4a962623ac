#pragma once
// Entry points of the benchmark families of vantaro-bench. Each prints JSON
// lines on standard output and returns the process exit status.

/// Stereo engine and grab cost per resolution and depth mode on the virtual
/// camera, with OpenCV's StereoSGBM as the baseline on the same frames.
int runEngineBenchmark(int argc, char **argv);
/// Our stereo matcher alone against StereoSGBM at fixed sizes and ranges.
int runMatcherBenchmark(int argc, char **argv);
/// One repaint of each view at HD720 under the current OpenGL (Mesa under Xvfb here).
int runViewsBenchmark(int argc, char **argv);
/// The whole viewer playing a recording: frames grabbed and shown per second.
int runViewerBenchmark(int argc, char **argv);
/// The whole viewer on the virtual camera recording from its record button:
/// drops, shown rate against not recording, writer cost, queue, memory.
int runRecordBenchmark(int argc, char **argv);
/// Rectification of one stereo pair (the live input path) at HD720 and HD2K, with a plain copy as baseline.
int runRectifyBenchmark(int argc, char **argv);
/// The input path of a real side-by-side camera: YUYV and MJPG frames into
/// two eyes, per frame, with a plain copy of the same bytes as the baseline.
int runInputBenchmark(int argc, char **argv);
/// What the depth picture's look costs per frame: the auto range, a colour map,
/// the confidence read-out matrix, against the grab they come with.
int runDepthLookBenchmark(int argc, char **argv);
