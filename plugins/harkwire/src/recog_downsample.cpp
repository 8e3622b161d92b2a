#include "recog_downsample.h"

#include <math.h>
#include <string.h>

namespace {

/* Windowed-sinc low-pass at 3.6 kHz for a 16 kHz input (Blackman window), unity gain at 0 Hz. */
struct fir_coefficients {
    double c[recog_downsampler::taps];
    fir_coefficients()
    {
        const int n = recog_downsampler::taps;
        const double cutoff = 3600.0 / 16000.0;
        const double pi = 3.14159265358979323846;
        double sum = 0.0;
        for (int i = 0; i < n; ++i) {
            double m = i - (n - 1) / 2.0;
            double sinc = m == 0.0 ? 2.0 * cutoff : sin(2.0 * pi * cutoff * m) / (pi * m);
            double window = 0.42 - 0.5 * cos(2.0 * pi * i / (n - 1)) + 0.08 * cos(4.0 * pi * i / (n - 1));
            c[i] = sinc * window;
            sum += c[i];
        }
        for (int i = 0; i < n; ++i)
            c[i] /= sum;
    }
};

const fir_coefficients& coefficients()
{
    static const fir_coefficients k;
    return k;
}

}  // namespace

recog_downsampler::recog_downsampler()
{
    reset();
}

void recog_downsampler::reset()
{
    memset(m_history, 0, sizeof(m_history));
    m_pos = 0;
    m_odd = false;
}

void recog_downsampler::process(const int16_t* samples, size_t count, std::string& out)
{
    const fir_coefficients& k = coefficients();
    for (size_t s = 0; s < count; ++s) {
        m_history[m_pos] = samples[s];
        m_pos = (m_pos + 1) % taps;
        bool emit = !m_odd;
        m_odd = !m_odd;
        if (!emit)
            continue;
        double acc = 0.0;
        /* m_pos now points at the oldest sample. */
        for (size_t i = 0; i < taps; ++i)
            acc += k.c[i] * m_history[(m_pos + i) % taps];
        long v = lround(acc);
        if (v > 32767)
            v = 32767;
        else if (v < -32768)
            v = -32768;
        int16_t sample = (int16_t)v;
        out.append(reinterpret_cast<const char*>(&sample), sizeof(sample));
    }
}
