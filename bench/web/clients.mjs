// N WebSocket clients of vorel-monitor --http, as N open pages would be,
// until SIGTERM or SIGINT: each takes every message and parses it as a page
// does. Ends with one JSON line on standard output: clients connected, how
// many stayed to the end, messages, cycle rows and bytes received.
//   node --experimental-websocket bench/web/clients.mjs ws://127.0.0.1:PORT/ws 50
// Loopback only: the URL must name this machine.
const [url, countText] = process.argv.slice(2);
const count = Number(countText || 50);
if (!/^ws:\/\/(127\.\d+\.\d+\.\d+|localhost|\[::1\]):\d+\//.test(url || "")) {
  console.error("clients.mjs: expects ws://127.0.0.1:PORT/ws (loopback) and a count");
  process.exit(2);
}
let connected = 0;
let open = 0;
let messages = 0;
let rows = 0;
let bytes = 0;
const sockets = [];
for (let i = 0; i < count; ++i) {
  const ws = new WebSocket(url);
  ws.onopen = () => { ++connected; ++open; };
  ws.onclose = () => { --open; };
  ws.onmessage = (e) => {
    ++messages;
    bytes += e.data.length;
    const m = JSON.parse(e.data);
    if (m.type === "cycles") rows += m.rows.length;
  };
  sockets.push(ws);
}
const finish = () => {
  console.log(JSON.stringify({ clients: count, connected, open_at_end: open, messages, rows, bytes }));
  for (const ws of sockets) ws.close();
  process.exit(0);
};
process.on("SIGTERM", finish);
process.on("SIGINT", finish);
