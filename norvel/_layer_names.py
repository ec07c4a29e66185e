"""What a risk layer may be called, written once for the converter, the
document checks and the router.

A graph document in object form may hold the top-level member
``"risk_layers"``: an object from layer names to arrays of risks, one per
edge in document order. The document's own ``risk_score`` is the layer
``"default"``, so no stored layer takes that name. The member
``"risk_layer_hours"`` gives layers the hours of the day they hold for,
``{"night": [20, 6]}`` (``Router.set_hours``); norvel_core skips it.
"""

from __future__ import annotations

#: The top-level document member that holds the named layers.
RISK_LAYERS_MEMBER = "risk_layers"
#: The top-level document member that holds the layers' hours.
LAYER_HOURS_MEMBER = "risk_layer_hours"

from norvel._native import engine


def layer_name_fault(name: str) -> str | None:
    """Why ``name`` cannot name a stored risk layer, as a phrase that
    follows the name in a message; None when it can. The rule is the
    engine's, which holds the layers of documents and of ``add_risk`` to
    it too."""
    return engine.layer_name_fault(name) or None
