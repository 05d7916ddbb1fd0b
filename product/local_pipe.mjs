// A local pipe server whose close() also ends every connection it has,
// rather than waiting for the peers to end them. Errors end a connection or
// the server quietly: a name another process holds serves nothing. With
// `unref`, neither the server nor its connections keep the runtime alive.
import net from 'node:net';

export function servePipe(name, onConnection, { unref = false } = {}) {
  const connected = new Set();
  const server = net.createServer((socket) => {
    connected.add(socket);
    if (unref) socket.unref();
    socket.on('error', () => {});
    socket.on('close', () => connected.delete(socket));
    onConnection(socket);
  });
  server.on('error', () => {});
  server.listen(name);
  if (unref) server.unref();
  return {
    close: () => {
      server.close();
      for (const socket of connected) socket.destroy();
    },
  };
}
