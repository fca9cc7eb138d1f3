-- wrk: POST /api/control reading the input settings, as the page does.
wrk.method = "POST"
wrk.path = "/api/control"
wrk.body = '{"get":{"in":null}}'
wrk.headers["Content-Type"] = "application/json"
