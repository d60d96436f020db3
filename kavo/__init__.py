"""CPU back end for trellis-quantized linear layers.

The native module ``kavo._C_cpu`` needs PyTorch's libraries, so torch is
imported first.
"""

import torch  # noqa: F401  (loads libtorch before the extension)

from . import _C_cpu  # noqa: F401
from .layer import TrellisLinear, hadamard_block_table

__all__ = ["_C_cpu", "TrellisLinear", "hadamard_block_table"]
