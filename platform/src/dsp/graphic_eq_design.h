// The filters of a graphic equalizer: one peaking filter per band at the band's ISO centre, with
// the bands' gains solved together so that the whole cascade's response at every centre is that
// band's gain (a band's neighbours reach into its centre and would otherwise add to it).
//
// Each filter is the analog constant-Q bell taken to the sample rate by the bilinear transform,
// its centre prewarped so it stays exact, and its bandwidth prewarped too, so that the bands
// near the top of the spectrum keep their width in octaves instead of narrowing towards
// Nyquist (narrow top bands would leave dips between their centres). It runs in the
// trapezoidal state-variable form: its coefficients grow with the centre frequency instead of
// crowding towards 1 and 2 as a direct-form biquad's do, so in single precision a 20 Hz band at
// 96 kHz is as exact as a 1 kHz one.
#pragma once

#include <cstddef>

namespace xnq::dsp {

// A bell in the trapezoidal state-variable form, with its two states ic1 and ic2:
//   v1 = a1 ic1 + a2 (x - ic2);  ic1 = 2 v1 - ic1;  ic2 = ic2 + c v1;  y = x + m1 v1
// (the form's second integrator reduces to ic2 + c v1, c being twice the prewarped centre).
struct Bell {
  double a1, a2, c, m1;
};

constexpr int kMaxEqBands = 31;

// The ISO centre frequencies of the 10-band (octave) or 31-band (third-octave) layout.
const double *eqBandCentres(int bands);

// The bandwidth of each band's bell in octaves: 1.2 times the spacing of the centres. Wide
// enough that an even setting stays within a decibel between centres (the ISO centres are
// rounded, so some gaps are wider than others), narrow enough that bands stay apart.
double eqBandwidthOctaves(int bands);

// A filter of the designed cascade and the band it sits at.
struct EqFilter {
  int band;
  Bell coefficients;
};

// Works out the filters for gains (dB, one per band) at a sample rate. Bands whose solved gain is
// 0 dB are left out, so all gains at 0 give no filter at all; bands at or above 0.49 of the rate
// are left out too. Returns the number of filters written to out (at most kMaxEqBands). No
// allocation: safe on the render thread.
int designGraphicEq(int bands, const float *gainsDb, double sampleRate, EqFilter *out);

}  // namespace xnq::dsp
