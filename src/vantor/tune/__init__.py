"""Operating points: the analysis of one unit's IV curve (fit), the choice of
its bias (policy), and the tune job that sweeps, judges and applies them."""
