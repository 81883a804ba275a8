// The filters of a graphic equalizer: one peaking biquad per band at the band's ISO centre, with
// the bands' gains solved together so that the whole cascade's response at every centre is that
// band's gain (a band's neighbours reach into its centre and would otherwise add to it).
#pragma once

#include <cstddef>

namespace xnq::dsp {

struct Biquad {
  // y[n] = b0 x[n] + b1 x[n-1] + b2 x[n-2] - a1 y[n-1] - a2 y[n-2]
  double b0, b1, b2, a1, a2;
};

constexpr int kMaxEqBands = 31;

// The ISO centre frequencies of the 10-band (octave) or 31-band (third-octave) layout.
const double *eqBandCentres(int bands);

// A filter of the designed cascade and the band it sits at.
struct EqFilter {
  int band;
  Biquad coefficients;
};

// Works out the filters for gains (dB, one per band) at a sample rate. Bands whose solved gain is
// 0 dB are left out, so all gains at 0 give no filter at all; bands at or above 0.49 of the rate
// are left out too. Returns the number of filters written to out (at most kMaxEqBands). No
// allocation: safe on the render thread.
int designGraphicEq(int bands, const float *gainsDb, double sampleRate, EqFilter *out);

// The gain in dB of a biquad at a frequency.
double biquadGainDb(const Biquad &filter, double frequency, double sampleRate);

}  // namespace xnq::dsp
