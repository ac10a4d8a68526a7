#!/usr/bin/env python3
"""Judges a camera page report against what the runner expects.

Exits 0 when the wanted label was listed, the frames came from that camera,
at least the wanted number of frames arrived and the centre pixel is within
the tolerance of the expected colour in every channel; otherwise prints why
and exits 1.
"""

import argparse
import json
import sys


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("result")
    parser.add_argument("--label", required=True)
    parser.add_argument("--frames", type=int, required=True)
    parser.add_argument("--expect-rgb", required=True)
    parser.add_argument("--tolerance", type=int, required=True)
    parser.add_argument("--browser", default="browser")
    args = parser.parse_args()

    expected = [int(v) for v in args.expect_rgb.split(",")]
    with open(args.result, encoding="utf-8") as f:
        result = json.load(f)

    reasons = []
    labels = result.get("labels") or []
    if args.label not in labels:
        reasons.append(f"no videoinput labelled {args.label!r} (saw {labels!r})")
    elif result.get("trackLabel") != args.label:
        reasons.append(f"the frames came from {result.get('trackLabel')!r}, not {args.label!r}")
    frames = result.get("frames") or 0
    if frames < args.frames:
        reasons.append(f"{frames} frames arrived, {args.frames} wanted")
    rgb = result.get("rgb")
    if not isinstance(rgb, list) or len(rgb) != 3:
        reasons.append("no pixel was sampled")
    else:
        off = [abs(a - b) for a, b in zip(rgb, expected)]
        if max(off) > args.tolerance:
            reasons.append(f"centre pixel {tuple(rgb)} differs from {tuple(expected)} "
                           f"by {tuple(off)}, more than {args.tolerance}")
    for error in result.get("errors") or []:
        reasons.append(f"page error: {error}")

    settings = result.get("settings") or {}
    summary = (f"{args.browser}: labels {labels}, {frames} frames via "
               f"{result.get('frameCounter')}, {result.get('width')}x{result.get('height')}"
               f" @ {settings.get('frameRate')} fps, centre rgb {rgb}, "
               f"{result.get('elapsedMs')} ms in the page")
    retries = result.get("retries") or []
    if retries:
        summary += f", {len(retries)} retries before the camera was listed ({retries[0]}, ...)"
    if reasons:
        print(json.dumps(result, indent=2, sort_keys=True))
        print(summary)
        for reason in reasons:
            print(f"FAIL: {reason}")
        return 1
    print(summary)
    print(f"PASS: {args.browser} listed {args.label!r} and showed {tuple(rgb)} "
          f"(expected {tuple(expected)} ±{args.tolerance})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
