"""An RFC 3161 time-stamping authority for the signing test: answers each POSTed query with
`openssl ts -reply` under the given configuration, on 127.0.0.1 at a port the OS chooses,
which it prints first."""
import http.server
import subprocess
import sys


class TimeStamps(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers['Content-Length']))
        reply = subprocess.run(['openssl', 'ts', '-reply', '-config', sys.argv[1], '-queryfile', '/dev/stdin',
                                '-out', '/dev/stdout'], input=query, capture_output=True).stdout
        self.send_response(200 if reply else 500)
        self.send_header('Content-Type', 'application/timestamp-reply')
        self.send_header('Content-Length', str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(('127.0.0.1', 0), TimeStamps)
print(server.server_port, flush=True)
server.serve_forever()
