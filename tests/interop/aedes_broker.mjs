// An aedes MQTT broker for the interoperability tests:
//   node aedes_broker.mjs ADDRESS PORT [USER PASSWORD]
// With a user, only that user and password may connect (others get CONNACK 5). Prints one
// line per event the tests look for: listening, connected ID, subscribed ID FILTER QOS,
// ping ID, disconnected ID.
import { createServer } from 'node:net'
import { Aedes } from 'aedes'

const [address, port, user, password] = process.argv.slice(2)
const say = (text) => process.stdout.write(text + '\n')

const broker = await Aedes.createBroker()
if (user) {
  broker.authenticate = (client, name, secret, done) =>
    done(null, name === user && secret !== undefined && secret.toString() === password)
}
broker.on('client', (client) => say(`connected ${client.id}`))
broker.on('clientDisconnect', (client) => say(`disconnected ${client.id}`))
broker.on('subscribe', (subscriptions, client) => {
  for (const s of subscriptions) say(`subscribed ${client.id} ${s.topic} ${s.qos}`)
})
broker.on('ping', (packet, client) => say(`ping ${client.id}`))

const server = createServer(broker.handle)
server.listen(Number(port), address, () => say('listening'))
const stop = () => server.close(() => broker.close(() => process.exit(0)))
process.on('SIGTERM', stop)
process.on('SIGINT', stop)
