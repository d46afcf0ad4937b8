# Load test through a real CGI server (lighttpd on 127.0.0.1, a free port):
# concurrent metrics, info, page and refused requests under wrk, every
# response checked, no process left behind. Prints requests per second.
#   make test-load [LOAD_SECONDS=4 LOAD_LIMIT=6000 LOAD_CONNECTIONS=16]

.PHONY: test-load
test-load: $(BIN)
	tests/load/run_load.sh $(CURDIR)/$(BIN)

