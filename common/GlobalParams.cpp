#include "common/GlobalParams.h"

#include <atomic>

namespace GlobalParams {
namespace {

std::atomic<bool> bools[kBoolCount];
std::atomic<int> ints[kIntCount];
std::atomic<double> doubles[kDoubleCount];
QString strings[kStringCount];

template <int N> bool inRange(int i) {
    return i >= 0 && i < N;
}

} // namespace

bool getBool(int i) {
    return inRange<kBoolCount>(i) && bools[i].load(std::memory_order_relaxed);
}

void setBool(int i, bool b) {
    if (inRange<kBoolCount>(i)) bools[i].store(b, std::memory_order_relaxed);
}

int getInt(int i) {
    return inRange<kIntCount>(i) ? ints[i].load(std::memory_order_relaxed) : 0;
}

void setInt(int i, int v) {
    if (inRange<kIntCount>(i)) ints[i].store(v, std::memory_order_relaxed);
}

double getDouble(int i) {
    return inRange<kDoubleCount>(i) ? doubles[i].load(std::memory_order_relaxed) : 0.0;
}

void setDouble(int i, double d) {
    if (inRange<kDoubleCount>(i)) doubles[i].store(d, std::memory_order_relaxed);
}

QString &stringRef(int i) {
    static QString scratch;
    if (inRange<kStringCount>(i)) return strings[i];
    scratch.clear();
    return scratch;
}

void reset() {
    for (auto &b : bools)
        b.store(false);
    for (auto &v : ints)
        v.store(0);
    for (auto &d : doubles)
        d.store(0.0);
    for (auto &s : strings)
        s.clear();
}

} // namespace GlobalParams
