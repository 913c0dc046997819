// Writes the station's alarm sounds as 16-bit PCM WAV files, mono at 44.1 kHz (a PulseAudio
// server's own rate, so that nothing is resampled on the way out there):
//   alarm_high.wav    one round of the high-priority call, played over and over until silenced:
//                     two tones a fifth apart, well below the range where the ear hears a tone
//                     as shrill, urgent by their alternation, then a pause that lets speech
//                     through;
//   alarm_medium.wav  a short falling two-note chime, played once.
// Every note rises and falls over a few milliseconds, and each file begins and ends in silence,
// so that neither a note nor the loop's seam clicks.
//   alarm-sounds FOLDER
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 44100;
// Below full scale: headroom for the harmonics and for a sound server that mixes two streams.
constexpr double kPeak = 0.7 * 32767.0;

struct Note {
    double hertz;  // 0 for a pause
    double seconds;
    // The note dies away with this time constant, for a struck chime; 0 holds it steady.
    double decaySeconds = 0;
};

void addNote(std::vector<int16_t>& samples, const Note& note) {
    const int count = static_cast<int>(std::lround(note.seconds * kRate));
    // Long enough to take the click out of the edges, short enough to keep the attack crisp.
    const int fade = static_cast<int>(0.008 * kRate);
    for (int i = 0; i < count; ++i) {
        double value = 0;
        if (note.hertz > 0) {
            const double t = static_cast<double>(i) / kRate;
            const double phase = 2 * std::numbers::pi * note.hertz * t;
            // A little of the third harmonic carries the tone on the small speakers of a control
            // desk, where a pure sine in this range sounds faint.
            value = (std::sin(phase) + 0.25 * std::sin(3 * phase)) / 1.25;
            double envelope = 1;
            if (i < fade) {
                envelope = 0.5 - 0.5 * std::cos(std::numbers::pi * i / fade);
            } else if (i >= count - fade) {
                envelope = 0.5 - 0.5 * std::cos(std::numbers::pi * (count - 1 - i) / fade);
            }
            if (note.decaySeconds > 0) {
                envelope *= std::exp(-t / note.decaySeconds);
            }
            value *= envelope;
        }
        samples.push_back(static_cast<int16_t>(std::lround(value * kPeak)));
    }
}

std::vector<int16_t> render(const std::vector<Note>& notes) {
    std::vector<int16_t> samples;
    for (const Note& note : notes) {
        addNote(samples, note);
    }
    return samples;
}

void putLittleEndian(std::string& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    }
}

// The canonical 44-byte header: RIFF, a 16-byte "fmt " chunk of PCM, then "data".
std::string wave(const std::vector<int16_t>& samples) {
    const uint32_t dataBytes = static_cast<uint32_t>(samples.size() * 2);
    std::string out;
    out += "RIFF";
    putLittleEndian(out, 36 + dataBytes, 4);
    out += "WAVEfmt ";
    putLittleEndian(out, 16, 4);
    putLittleEndian(out, 1, 2);  // PCM
    putLittleEndian(out, 1, 2);  // mono
    putLittleEndian(out, kRate, 4);
    putLittleEndian(out, kRate * 2, 4);
    putLittleEndian(out, 2, 2);
    putLittleEndian(out, 16, 2);
    out += "data";
    putLittleEndian(out, dataBytes, 4);
    for (const int16_t s : samples) {
        putLittleEndian(out, static_cast<uint16_t>(s), 2);
    }
    return out;
}

bool write(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        std::fprintf(stderr, "alarm-sounds: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: alarm-sounds FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    // 0.8 s a round: close to the pace of the process industry's urgent calls, and a loop long
    // enough that the sound server's buffering does not make it stutter.
    const std::vector<Note> high = {{0, 0.02}, {880, 0.22}, {0, 0.03}, {587.33, 0.22}, {0, 0.31}};
    // The quarter second of silence at the end is cut off unheard: a sound played once is stopped
    // when its last bytes are handed to the sound server, some 150 ms before they would be heard.
    const std::vector<Note> medium = {
        {0, 0.02}, {987.77, 0.30, 0.25}, {783.99, 0.60, 0.30}, {0, 0.25}};
    const bool ok = write(folder + "/alarm_high.wav", wave(render(high))) &&
                    write(folder + "/alarm_medium.wav", wave(render(medium)));
    return ok ? 0 : 1;
}
