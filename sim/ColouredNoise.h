#pragma once

#include <vector>

#include "MotionProfile.h"

namespace zelto::sim {

//! A lightly damped structural mode seen in a noise spectrum.
struct Resonance {
  double frequency = 40.0;  //!< Hz, below half the stream's rate
  double q = 15.0;          //!< quality factor: centre frequency over the −3 dB bandwidth
  double weight = 1.0;      //!< share of the channel's resonant variance, relative to the others
};

//! The noise of one channel, described by what is measured on a recording at the stream's own
//! rate:
//!  - white: what the fourth-difference estimate reads, (1.4826·MAD(Δ⁴x))²/70 with
//!    Δ⁴x[k] = x[k] − 4x[k+1] + 6x[k+2] − 4x[k+3] + x[k+4] and MAD the median absolute
//!    deviation (70 = 1 + 16 + 36 + 16 + 1 and 1.4826 = 1/Φ⁻¹(¾), so Gaussian white noise reads
//!    its own variance). The median is how the figures were measured and how the noise
//!    measurement of the tools reads a recording; on heavy-tailed noise the mean square
//!    var(Δ⁴x)/70 reads more (1.21 times at kurtosis 4).
//!  - total: the variance (mean square) of the whole noise, a recording's residual after a slow
//!    trend.
//!  - kurtosis: E[x⁴]/E[x²]², 3 for Gaussian noise.
//! Zero white and total make a noise-free channel.
struct ChannelNoise {
  double white = 0.0;
  double total = 0.0;
  double kurtosis = 3.0;
  std::vector<Resonance> resonances;  //!< carry the variance beyond the white floor
};

//! One channel of coloured, heavy-tailed sensor noise at a fixed sample rate, built to read
//! exactly the configured white and total variances:
//!
//!   x[k] = s[k] · (w[k] + Σᵢ yᵢ[k])
//!
//! w is a white Gaussian floor. Each yᵢ is white Gaussian noise through the two-pole resonator
//! yᵢ[k] = 2r·cos θ·yᵢ[k−1] − r²·yᵢ[k−2] + bᵢ·e[k], θ = 2π·f/rate, r = exp(−π·f/(Q·rate)), whose
//! pole radius gives the −3 dB bandwidth f/Q. The resonances sit far below the fourth
//! difference's pass band, but not all the way: at 698 Hz a 200 Hz mode reads half its variance
//! as "white". So both figures are met together: with the variances vᵢ = c·weightᵢ/Σweight and
//! Lᵢ = var(Δ⁴yᵢ)/(70·var(yᵢ)) from the resonator's exact autocovariance,
//!   var(w) + Σ vᵢ·Lᵢ = white/ρ,   var(w) + Σ vᵢ = total,
//! two linear equations for var(w) and c, ρ being the median-based reading over the mean square
//! of the level-modulated noise (below). A figure that would need a negative floor is refused.
//!
//! s is a slowly varying level shared by floor and resonances, s = exp(a·g − a²) with g a unit
//! Gaussian first-order autoregression of correlation time `envelopeTime`: the structure's
//! vibration swells and fades. E[s²] = 1 keeps both variances (a level that barely changes
//! within five samples leaves the fourth difference alone), and since s is independent of the
//! Gaussian part the kurtosis is 3·E[s⁴] = 3·exp(4a²), which fixes a. Heavy-tailed draws per
//! sample would not do: a resonator averages over about Q samples and makes them Gaussian
//! again. Δ⁴x is s times a Gaussian as well, so its median-based variance is ρ·var(Δ⁴x) with
//! ρ = (median|s·z| / median|z|)², z standard normal: 0.83 at kurtosis 4, 1 at 3.
//!
//! Every resonator and the level start from a draw of their stationary distribution, so the
//! noise has its figures from the first sample on, without a run-in.
class ColouredNoise {
 public:
  //! The noise actually built for a channel.
  struct Design {
    double floor = 0.0;            //!< variance of w
    std::vector<double> resonant;  //!< variance of each yᵢ, in the order configured
    double white = 0.0;            //!< (1.4826·MAD(Δ⁴x))²/70 of the stationary noise
    double meanSquareWhite = 0.0;  //!< var(Δ⁴x)/70: white/ρ
    double total = 0.0;            //!< var(x)
    double kurtosis = 3.0;
    double levelSpread = 0.0;  //!< a
  };

  //! Draws the starting state from `random`. Throws std::invalid_argument for a negative or
  //! non-finite figure, total below white, a kurtosis below 3, a resonance at or above half the
  //! rate or with Q outside [0.5, 1e4], non-positive weights where resonances are needed, resonant
  //! variance the floor cannot make up for, or a non-positive envelope time.
  ColouredNoise(const ChannelNoise& channel, double rate, double envelopeTime, Random& random);

  //! The next sample; always takes the same number of draws, so that a channel's noise does
  //! not depend on another's settings.
  double next(Random& random);

  const Design& design() const { return design_; }

  //! var(Δ⁴y)/(70·var(y)) for white noise through the resonator: the share of its variance the
  //! fourth-difference estimate reads.
  static double fourthDifferenceShare(const Resonance& resonance, double rate);

  //! ρ: the median-based variance over the mean square of a Gaussian modulated by a level of
  //! this kurtosis.
  static double medianToMeanSquare(double kurtosis);

 private:
  struct Resonator {
    double a1 = 0.0, a2 = 0.0, gain = 0.0;  // y = a1·y[k−1] + a2·y[k−2] + gain·e
    double y1 = 0.0, y2 = 0.0;
  };
  Design design_;
  std::vector<Resonator> resonators_;
  double floorStd_ = 0.0;
  double levelPole_ = 0.0;   // g[k] = pole·g[k−1] + drive·e
  double levelDrive_ = 0.0;  // √(1 − pole²): unit variance
  double level_ = 0.0;       // g
};

}  // namespace zelto::sim
