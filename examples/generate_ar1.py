#!/usr/bin/env python3
"""Writes a seeded AR(1) time series, one column per coefficient.

x_t = phi * x_(t-1) + e_t with standard normal e_t; each column starts from a
draw of its stationary distribution, so no burn-in is needed.

usage: generate_ar1.py SAMPLES SEED PHI [PHI ...] [--format FMT] [--separator SEP]
                       [--comment-every N]
"""
import argparse
import math
import random
import sys


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("samples", type=int)
    parser.add_argument("seed", type=int)
    parser.add_argument("phi", type=float, nargs="+")
    parser.add_argument("--format", default="%.6f", help="printf format of one value")
    parser.add_argument("--separator", default=" ")
    parser.add_argument("--comment-every", type=int, default=0,
                        help="insert a comment line every N samples (0: never)")
    args = parser.parse_args()

    rng = random.Random(args.seed)
    x = [rng.gauss(0.0, 1.0) / math.sqrt(1.0 - phi * phi) for phi in args.phi]
    out = sys.stdout
    out.write("# AR(1) series, seed %d, %d samples\n" % (args.seed, args.samples))
    out.write("# columns: " + " ".join("phi=%g" % phi for phi in args.phi) + "\n")
    for t in range(args.samples):
        if args.comment_every and t and t % args.comment_every == 0:
            out.write("# sample %d\n" % t)
        out.write(args.separator.join(args.format % v for v in x) + "\n")
        x = [phi * v + rng.gauss(0.0, 1.0) for phi, v in zip(args.phi, x)]


if __name__ == "__main__":
    main()
