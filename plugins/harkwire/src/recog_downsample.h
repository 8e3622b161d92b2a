/*
 * 16 kHz to 8 kHz for the recognizer's audio: the service is told "pcm8k16bit",
 * so a 16 kHz stream is low-pass filtered and every second sample kept.
 */
#ifndef HARKWIRE_RECOG_DOWNSAMPLE_H
#define HARKWIRE_RECOG_DOWNSAMPLE_H

#include <stddef.h>
#include <stdint.h>

#include <string>

class recog_downsampler {
public:
    recog_downsampler();

    /* Forgets the samples of an earlier stream. */
    void reset();

    /* Filters 'count' 16-bit samples at 16 kHz and appends the 8 kHz result to 'out'
     * (native byte order). An odd sample is carried over to the next call. */
    void process(const int16_t* samples, size_t count, std::string& out);

    enum { taps = 31 };

private:
    int16_t m_history[taps];  /* the last input samples, newest at m_pos - 1 */
    size_t m_pos;
    bool m_odd;               /* the next input sample is skipped on output */
};

#endif /* HARKWIRE_RECOG_DOWNSAMPLE_H */
