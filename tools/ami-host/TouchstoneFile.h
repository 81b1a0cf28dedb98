// Touchstone S-parameter files: version 1.x (.sNp) and 2.0 (.sNp or .ts).
//
// Version 1.x: '!' starts a comment anywhere on a line; the option line
//     # <Hz|kHz|MHz|GHz> <S> <MA|DB|RI> R <ohms>
// (any order, any case, missing items default to GHz S MA R 50) precedes the
// data. Each frequency starts a new line: the frequency, then the matrix as
// pairs of numbers, wrapped over several lines in files of 3 and more ports.
// The port count comes from the extension (.s4p: 4). A 2-port file lists
// S11 S21 S12 S22; larger files list the matrix row by row (S11 S12 ...).
// Noise parameters after a 2-port file's network data (five values per line,
// the frequency back at or below the last one) are skipped.
//
// Version 2.0 (and 2.1, read the same way): [Version] first, then the option
// line and [Number of Ports], [Two-Port Data Order] (12_21 or 21_12, required
// for 2 ports), [Number of Frequencies], optional [Reference] (one impedance
// per port, may span lines), optional [Matrix Format] Full, Lower or Upper,
// [Network Data] with the data, optional [Noise Data] (skipped),
// [Begin Information] ... [End Information] (skipped), and [End].
//
// A line of data that starts a frequency holds an odd number of values (the
// frequency and pairs), a continuation line an even number. Only
// S-parameters are read. Any fault (unknown option or keyword, a wrong port
// count, missing or extra values, frequencies that do not increase, a
// malformed or non-finite number, a missing [End]) is one error line naming
// the file and line, and nothing of the file is kept.
#ifndef VM_TOOLS_AMI_HOST_TOUCHSTONEFILE_H
#define VM_TOOLS_AMI_HOST_TOUCHSTONEFILE_H

#include <complex>
#include <string>
#include <vector>

namespace amihost {

struct TouchstoneNetwork {
    int Ports = 0;
    std::vector<double> Frequencies;  // Hz, strictly increasing, >= 0
    // One Ports x Ports matrix per frequency, row-major: S[k][i * Ports + j]
    // is S(i+1)(j+1), the wave out of port i+1 for a wave into port j+1.
    std::vector<std::vector<std::complex<double>>> S;
    std::vector<double> Reference;  // ohms, one per port
    std::string Version;            // "1.x", "2.0" or "2.1"
    std::string Format;             // "MA", "DB" or "RI", as written in the file
    std::string FrequencyUnit;      // "Hz", "kHz", "MHz" or "GHz"

    std::complex<double> at(size_t k, int i, int j) const { return S[k][static_cast<size_t>(i * Ports + j)]; }
};

class TouchstoneFile {
public:
    // Files larger than this many ports are refused (a 64-port matrix is
    // already 8192 numbers per frequency).
    static constexpr int kMaxPorts = 64;

    // Whether the path names a Touchstone file by its extension: .sNp (N one
    // or more digits) or .ts, in any case.
    static bool isTouchstonePath(const std::string& path);
    // N of a .sNp extension; 0 for .ts and anything else.
    static int portsFromExtension(const std::string& path);

    static bool Read(const std::string& path, TouchstoneNetwork& net, std::string& error);
    // The same from text; name stands for the file in messages, and ports is
    // what the extension says (0: unknown, as for .ts).
    static bool Parse(const std::string& text, const std::string& name, int ports, TouchstoneNetwork& net,
                      std::string& error);
};

}  // namespace amihost

#endif
