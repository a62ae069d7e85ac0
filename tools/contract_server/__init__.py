"""Contract-server simulator: HTTP wire handling, form parsing, misbehaviours and the endpoints."""
