"""What a risk layer may be called, written once for the converter, the
document checks and the router.

A graph document in object form may hold the top-level member
``"risk_layers"``: an object from layer names to arrays of risks, one per
edge in document order. The document's own ``risk_score`` is the layer
``"default"``, so no stored layer takes that name.
"""

from __future__ import annotations

import re

#: The top-level document member that holds the named layers.
RISK_LAYERS_MEMBER = "risk_layers"
#: The layer that the edges' ``risk_score`` members make.
DEFAULT_LAYER = "default"

# ASCII only: a name must read the same in a URL, a shell and a column.
_PLAIN_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")

#: What a name must look like, for messages.
NAME_RULE = ("a plain identifier (ASCII letters, digits and _; not "
             "starting with a digit)")


def layer_name_fault(name: str) -> str | None:
    """Why ``name`` cannot name a stored risk layer, as a phrase that
    follows the name in a message; None when it can."""
    if _PLAIN_IDENTIFIER.fullmatch(name) is None:
        return f"is not {NAME_RULE}"
    if name == DEFAULT_LAYER:
        return "is the document's own risk_score"
    return None
