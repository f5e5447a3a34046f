#pragma once
// Digests are computed by reading the file at disk speed, so the process runs
// only a few at once: a large file that nobody uploaded through this server
// must not let digest requests crowd out the transfers.

// One turn to compute a digest, held from a successful Take until the
// object goes away.
class TDigestTurn {
 public:
  // How many turns the process hands out at once.
  static constexpr int kAtOnce = 2;

  TDigestTurn() = default;
  ~TDigestTurn();
  TDigestTurn(const TDigestTurn&) = delete;
  TDigestTurn& operator=(const TDigestTurn&) = delete;

  // Waits up to `seconds` for a free turn; false when none came free.
  bool Take(int seconds);

 private:
  bool FHeld = false;
};
