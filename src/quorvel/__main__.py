"""Demo: ``python -m quorvel`` prints the weights of a few kernels."""

from quorvel import _core


def main() -> None:
    tau = 0.5
    print(f"Stencil weights at tau = {tau} (the middle of a cell):")
    for kernel in ("a1", "a3", "a5", "b5", "b13"):
        weights = _core.kernel_weights(kernel, 0, tau)
        shown = ", ".join(f"{w:+.6f}" for w in weights)
        print(f"  {kernel:>4} ({len(weights):2d} columns, sum {sum(weights):.15f}): {shown}")


if __name__ == "__main__":
    main()
